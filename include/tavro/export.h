#ifndef TAVRO_EXPORT_H
#define TAVRO_EXPORT_H

// The public headers need C++17 and GCC 8 or later or Clang 7 or later: the library is
// built with hidden visibility, and only what carries TAVRO_API (a GCC/Clang visibility
// attribute) is exported.
#if defined(__GNUC__) || defined(__clang__)
#define TAVRO_API __attribute__((visibility("default")))
#else
#error "The Tavro headers need GCC or Clang (they use the visibility attribute)"
#endif

#endif  // TAVRO_EXPORT_H
