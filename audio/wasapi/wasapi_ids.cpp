// The class, interface and property ids of the WASAPI headers, defined once for the
// Windows build: mingw-w64's import libraries have none of them. (The simulated
// Windows defines its own.)
#include <windows.h>
#include <initguid.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
