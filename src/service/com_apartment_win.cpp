// Windows only.
#include "service/com_apartment.h"

#include <objbase.h>

#include "platform/win32_types.h"

ComApartment::ComApartment() { initialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
ComApartment::~ComApartment() {
    if (initialised_) CoUninitialize();
}
