#pragma once

#include <string>

// The operating system's banner.
class OS_helper {
public:
    OS_helper() = default;
    // The text of /etc/issue, line ends included.
    std::string os_version();
};
