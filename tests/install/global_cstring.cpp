// A program written against the global CString keeps compiling.
#include <tavro/CKusb_IO.h>

#include <string>
#include <type_traits>

static_assert(std::is_same_v<CString, std::string>);
