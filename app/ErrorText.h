#pragma once

#include <string>

// The default error display ends a message with a full stop unless its last
// character already is one, or sorts before it (a blank, "!", ")" ...).
inline std::string WithFullStop(std::string msg) {
    if (!msg.empty() && static_cast<unsigned char>(msg.back()) > '.') msg += '.';
    return msg;
}
