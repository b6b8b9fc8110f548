#pragma once
// Renderings of the unit data view's rows.

#include <cstdint>
#include <span>

#include <QString>

namespace tolvar {

// Each byte in decimal followed by "," ("1,2,3,4,5,").
QString dataStorageText(std::span<const std::uint8_t> bytes);
// Unit 1 ms, 2 tens of ms, 3 s; other units shown as value[unit].
QString pollPriorityText(std::uint8_t unit, std::uint8_t value);

}  // namespace tolvar
