// How FileSave stores a file, beyond where and under which name.
#ifndef ZIMRAX_SAVE_OPTIONS_H_
#define ZIMRAX_SAVE_OPTIONS_H_

namespace zimrax {

struct SaveOptions {
  // Off: the file is complete when it appears under its name, and survives
  // the process being killed at any moment, but its data may still be in
  // the page cache when FileSave returns. On: the data is written through to
  // the device (fsync) before the file gets its name, and the directory
  // entry (fsync of the directory) after, so a stored file also survives a
  // power failure or a crash of the system. Costs a wait for the device.
  bool durable = false;
};

}  // namespace zimrax

#endif  // ZIMRAX_SAVE_OPTIONS_H_
