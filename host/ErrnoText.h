#pragma once
// The text of an errno value. strerror() may hand every thread one shared buffer; this builds its own.
#include <string>
#include <system_error>

inline std::string ErrnoText(int error) { return std::generic_category().message(error); }
