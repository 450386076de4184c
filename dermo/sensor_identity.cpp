#include "sensor_identity.h"

// The supported models. These are placeholder identifiers until the sensor vendors' assigned
// numbers are known; the simulated sensor's profiles use the same values.
const DWORD SensorIdentityTable[kSensorVendorCount + kSensorProductCount] = {
    0x1A2B,  // vendor: sensor module maker
    0x1A2C,  // vendor: second source of the same modules
    0x0101,  // product: swipe sensor
    0x0102,  // product: swipe sensor, wide
    0x0201,  // product: area sensor
    0x0202,  // product: area sensor, high resolution
    0x0301,  // product: area sensor with secure element
};
