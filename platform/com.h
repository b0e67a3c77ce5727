// The COM and OLE Automation layer in one include: types, strings, variants, arrays, error
// information, dispatch tables, connection points, storage, control interfaces and the client.
#pragma once

#include "platform/automation.h"
#include "platform/bstr.h"
#include "platform/com_client.h"
#include "platform/com_stream.h"
#include "platform/com_types.h"
#include "platform/connection_point.h"
#include "platform/dispatch_table.h"
#include "platform/error_info.h"
#include "platform/ole_control.h"
#include "platform/safearray.h"
#include "platform/variant.h"
