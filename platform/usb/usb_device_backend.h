// The "usb" backend: boxes on USB behind the backend interface.
#ifndef TAVRO_PLATFORM_USB_USB_DEVICE_BACKEND_H
#define TAVRO_PLATFORM_USB_USB_DEVICE_BACKEND_H

#include <chrono>
#include <memory>

#include "platform/backend.h"
#include "platform/usb/config.h"

namespace tavro::platform::usb {

// `requestLimit`: how long a vendor request may wait for the box.
std::unique_ptr<Backend> makeUsbDeviceBackend(UsbConfig config,
                                              std::chrono::milliseconds requestLimit);

}  // namespace tavro::platform::usb

#endif  // TAVRO_PLATFORM_USB_USB_DEVICE_BACKEND_H
