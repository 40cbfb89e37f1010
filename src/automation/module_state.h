// Process-wide bookkeeping of the module: live objects and server locks,
// which decide whether the module may be unloaded.
#ifndef ZIMRAX_AUTOMATION_MODULE_STATE_H_
#define ZIMRAX_AUTOMATION_MODULE_STATE_H_

namespace zimrax {

void AddLiveObject();
void ReleaseLiveObject();
void LockModule();
void UnlockModule();
// True when no object is alive and no server lock is held.
bool ModuleIsIdle();

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_MODULE_STATE_H_
