// The four in-process server entry points, with the meaning they have on
// this platform:
//
//   DllRegisterServer    adds "ZimraxFileIO.ZmFile" to the in-process class
//                        registry (class_registry.h) with its class,
//                        interface and type-library identifiers, threading
//                        model "Apartment" and type library version 1.0.
//                        Idempotent. Returns kSOk.
//   DllUnregisterServer  removes that registration; CreateObject then fails
//                        with 429. Returns kSOk, or kSFalse when it was not
//                        registered.
//   DllGetClassObject    hands out the class factory for kClsIdZmFile when
//                        asked for IClassFactory or IUnknown. Returns
//                        kClassENotAvailable for another class,
//                        kENoInterface for another interface and kEPointer
//                        for a null output.
//   DllCanUnloadNow      kSOk when no ZmFile object is alive and no factory
//                        holds a server lock; kSFalse otherwise.
//
// The library registers itself when it is loaded, so a host may call
// CreateObject without calling DllRegisterServer first.
#ifndef ZIMRAX_AUTOMATION_ENTRY_POINTS_H_
#define ZIMRAX_AUTOMATION_ENTRY_POINTS_H_

#include <cstdint>
#include <memory>

#include "zimrax/automation/class_registry.h"
#include "zimrax/automation/guid.h"
#include "zimrax/export.h"

namespace zimrax {

using HResult = std::int32_t;

inline constexpr HResult kSOk = 0;
inline constexpr HResult kSFalse = 1;
inline constexpr HResult kENoInterface = static_cast<HResult>(0x80004002u);
inline constexpr HResult kEPointer = static_cast<HResult>(0x80004003u);
inline constexpr HResult kClassENotAvailable = static_cast<HResult>(0x80040111u);

ZIMRAX_EXPORT HResult DllRegisterServer();
ZIMRAX_EXPORT HResult DllUnregisterServer();
ZIMRAX_EXPORT HResult DllGetClassObject(const Guid& clsid, const Guid& iid, std::shared_ptr<ClassFactory>* factory);
ZIMRAX_EXPORT HResult DllCanUnloadNow();

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_ENTRY_POINTS_H_
