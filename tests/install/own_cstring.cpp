// A program with a CString of its own includes the library's header: with
// TAVRO_NO_GLOBAL_CSTRING its name stays its own, and the library's is CKusb_IO::CString.
#define TAVRO_NO_GLOBAL_CSTRING
class CString {
 public:
  int own = 0;
};
#include <tavro/CKusb_IO.h>

#include <string>
#include <type_traits>

static_assert(std::is_same_v<CKusb_IO::CString, std::string>);
static_assert(!std::is_same_v<CString, std::string>);
static_assert(std::is_same_v<decltype(std::declval<CKusb_IO&>().GetYear()), std::string>);
