#ifndef TAVRO_EXPORT_H
#define TAVRO_EXPORT_H

// The library is built with hidden visibility; only what carries TAVRO_API is exported.
#define TAVRO_API __attribute__((visibility("default")))

#endif  // TAVRO_EXPORT_H
