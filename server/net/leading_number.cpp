#include "server/net/leading_number.h"

#include <cmath>

namespace korrin {

namespace {
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
}  // namespace

std::optional<double> leadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size() || !isDigit(text[i])) return std::nullopt;
    double value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) value = value * 10 + (text[i] - '0');
    if (i < text.size() && text[i] == '.') {
        double scale = 0.1;
        for (++i; i < text.size() && isDigit(text[i]); ++i) {
            value += (text[i] - '0') * scale;
            scale /= 10;
        }
    }
    return value;
}

double roundHalfEven(double value) {
    double lower = std::floor(value);
    double diff = value - lower;
    if (diff < 0.5) return lower;
    if (diff > 0.5) return lower + 1;
    return std::fmod(lower, 2.0) == 0 ? lower : lower + 1;
}

int16_t sendIntervalFromText(std::string_view text) {
    // The interval keeps its looser reading: blanks, tabs and a sign may come first.
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::optional<double> n = leadingNumber(text.substr(i));
    if (!n) return 500;
    double ms = roundHalfEven(negative ? -*n : *n);
    if (ms > 1000) return 1000;
    if (ms < 50) return 50;
    return static_cast<int16_t>(ms);
}

ListenPorts listenPortsFromText(std::string_view text) {
    double value = leadingNumber(text).value_or(0);
    auto port = [](double v) -> std::optional<int32_t> {
        double r = roundHalfEven(v);
        if (r < 1 || r > 65535) return std::nullopt;
        return static_cast<int32_t>(r);
    };
    return ListenPorts{port(value), port(value + 1)};
}

}  // namespace korrin
