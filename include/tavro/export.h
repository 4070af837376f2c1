#ifndef TAVRO_EXPORT_H
#define TAVRO_EXPORT_H

// The public headers need C11 or C++17, and GCC 8 or later or Clang 7 or later: the
// library is built with hidden visibility, and only what carries TAVRO_API (a GCC/Clang
// visibility attribute) is exported.
#if defined(__GNUC__) || defined(__clang__)
#define TAVRO_API __attribute__((visibility("default")))
#else
#error "The Tavro headers need GCC or Clang (they use the visibility attribute)"
#endif

// The library object: a class in C++ (tavro/CKusb_IO.h), opaque in C.
#ifdef __cplusplus
class CKusb_IO;
#else
typedef struct CKusb_IO CKusb_IO;
#endif

#endif  // TAVRO_EXPORT_H
