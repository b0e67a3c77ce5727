// The library's entry points: class object, unloading, registration.
#include "control/control_object.h"
