#include "power.h"

void SuspendSensor(DeviceContext* context) {
    if (context->suspended || !context->suspendSupported) return;
    if (context->usbFuncs.lpSuspendDevice(context->hDevice,
                                          context->usbInterface->Descriptor.bInterfaceNumber))
        context->suspended = TRUE;
}

void ResumeSensor(DeviceContext* context) {
    if (!context->suspended || !context->suspendSupported) return;
    if (context->usbFuncs.lpResumeDevice(context->hDevice,
                                         context->usbInterface->Descriptor.bInterfaceNumber))
        context->suspended = FALSE;
}
