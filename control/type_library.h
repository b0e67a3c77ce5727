// The enumerations of the control's type library, by name and value.
#pragma once

#include <span>
#include <string_view>

#include "platform/com_types.h"

namespace tw {

struct TypeLibEnumValue {
  std::u16string_view name;
  win::LONG value;
};

struct TypeLibEnum {
  std::u16string_view name;
  std::span<const TypeLibEnumValue> values;
};

// The ten enumerations of COBALINLib.
std::span<const TypeLibEnum> CobalinEnums();

}  // namespace tw
