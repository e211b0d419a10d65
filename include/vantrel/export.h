/* vantrel: which declarations libvantrel exports. The library is built with hidden visibility;
 * the public headers mark the C and C++ API with these. */
#ifndef VANTREL_EXPORT_H
#define VANTREL_EXPORT_H

#if defined(__GNUC__)
#define VANTREL_API __attribute__((visibility("default")))
#else
#define VANTREL_API
#endif

#endif
