/* Symbol visibility for libMorvane. Everything is hidden by default; only the
 * class interface and the C interface carry MORVANE_API. On Windows programs
 * import them from Morvane.dll; code linked with the library's objects
 * directly (MORVANE_STATIC) calls them without the import. */
#ifndef MORVANE_EXPORT_H
#define MORVANE_EXPORT_H

#if defined(_WIN32) && defined(MORVANE_BUILDING_LIBRARY)
#  define MORVANE_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(MORVANE_STATIC)
#  define MORVANE_API __declspec(dllimport)
#elif defined(MORVANE_BUILDING_LIBRARY)
#  define MORVANE_API __attribute__((visibility("default")))
#else
#  define MORVANE_API
#endif

#endif /* MORVANE_EXPORT_H */
