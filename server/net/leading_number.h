// Reading operator-typed texts as numbers: the leading number of a text, and its rounding.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korrin {

// The number a text begins with once leading spaces are skipped: digits with an optional
// decimal fraction. A sign, a tab or a leading "." begins no number: nothing then.
std::optional<double> leadingNumber(std::string_view text);

// Rounds to the nearest whole number, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
double roundHalfEven(double value);

// "Timer" text -> send interval in ms: the number rounded, clamped to 50..1000; a text that
// is not a number gives the default 500.
int16_t sendIntervalFromText(std::string_view text);

// "Port" text -> the two ports to listen on; a port outside 1..65535 is nothing.
struct ListenPorts {
    std::optional<int32_t> input;
    std::optional<int32_t> output;
};
ListenPorts listenPortsFromText(std::string_view text);

}  // namespace korrin
