// export.h - the symbols the shared library exports.
//
// The library is built with hidden visibility, so that its internals and the
// template code it instantiates (Armadillo's among them) stay private to it;
// ZOR_FEEDBACK_API marks the public API, the only symbols a program can bind.
#ifndef ZOR_FEEDBACK_EXPORT_H
#define ZOR_FEEDBACK_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define ZOR_FEEDBACK_API __attribute__((visibility("default")))
#define ZOR_FEEDBACK_LOCAL __attribute__((visibility("hidden")))
#else
#define ZOR_FEEDBACK_API
#define ZOR_FEEDBACK_LOCAL
#endif

#endif  // ZOR_FEEDBACK_EXPORT_H
