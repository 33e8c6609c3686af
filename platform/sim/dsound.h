// Simulated DirectSound full-duplex device (to be filled in with the full-duplex engine).
#pragma once
