// Simulated registry, file existence and string conversions (to be filled in with the ASIO driver
// list).
#pragma once
