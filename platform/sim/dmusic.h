// Simulated DirectMusic input ports (to be filled in with the MIDI port).
#pragma once
