/* ZIMRAX_EXPORT marks the public API: the one set of symbols the shared
 * library exports. The library is built with hidden visibility by default,
 * so everything else (the scanner, storage and core internals) stays out of
 * its dynamic symbol table and cannot be bound to by accident.
 *
 * Linking the static library (ZimraxFileIO::zimrax_fileio_static, which
 * defines ZIMRAX_STATIC_DEFINE for its users) makes ZIMRAX_EXPORT empty. Plain C
 * and C++ both include this header. */
#ifndef ZIMRAX_EXPORT_H_
#define ZIMRAX_EXPORT_H_

#if defined(ZIMRAX_STATIC_DEFINE)
#define ZIMRAX_EXPORT
#elif defined(__GNUC__) || defined(__clang__)
#define ZIMRAX_EXPORT __attribute__((visibility("default")))
#else
#define ZIMRAX_EXPORT
#endif

/* ZIMRAX_NO_EXPORT keeps a nested implementation class of an exported class
 * (which would otherwise inherit its visibility) out of the shared library's
 * symbol table. Empty with the static library, like ZIMRAX_EXPORT: a hidden
 * member type in a class of default visibility draws a warning. */
#if defined(ZIMRAX_STATIC_DEFINE)
#define ZIMRAX_NO_EXPORT
#elif defined(__GNUC__) || defined(__clang__)
#define ZIMRAX_NO_EXPORT __attribute__((visibility("hidden")))
#else
#define ZIMRAX_NO_EXPORT
#endif

#endif /* ZIMRAX_EXPORT_H_ */
