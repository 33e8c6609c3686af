// Simulated winmm MIDI devices (to be filled in with the MIDI port).
#pragma once
