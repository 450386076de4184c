// Suspension of an idle sensor, where the USB stack offers it.
#pragma once

#include "context.h"

// Both expect the context's stateLock to be held. A refused request changes nothing.
void SuspendSensor(DeviceContext* context);
void ResumeSensor(DeviceContext* context);
