#pragma once
// Bytes as hexadecimal text and back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Lower-case digits, two per byte.
std::string ToHex(const uint8_t* data, size_t size);
// Either case; false when |text| is not an even number of hex digits.
bool FromHex(const std::string& text, std::vector<uint8_t>* out);
