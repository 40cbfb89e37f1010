#include "core/located_section.h"

#include "scanner/byte_runs.h"
#include "scanner/form_field_locator.h"
#include "scanner/section_header_readers.h"

namespace zimrax {

Checked<LocatedSection> LocateSection(ByteView body, ByteView wanted_name) {
  using Result = Checked<LocatedSection>;
  LocatedSection section;
  const Checked<ByteView> boundary = BoundaryLineOf(body);
  if (!boundary.ok()) return Result::Fail(boundary.error);
  section.boundary_line = boundary.value;

  const Checked<LocatedField> field = LocateFormField(body, wanted_name, section.boundary_line);
  if (!field.ok()) return Result::Fail(field.error);
  section.code = field.value.code;
  if (section.code != ResultCode::kOk) return Result{section};
  section.name_end = field.value.name_end;

  const Checked<Position> filename_start = FindFilenameStart(body, section.name_end);
  if (!filename_start.ok()) return Result::Fail(filename_start.error);
  if (filename_start.value == 0) return Result{section};
  section.has_file_name = true;

  const Checked<ByteView> filename = ReadQuotedBytes(body, filename_start.value);
  if (!filename.ok()) return Result::Fail(filename.error);
  if (IsEmptyRun(filename.value)) {
    section.code = ResultCode::kBadFormFilename;
    return Result{section};
  }
  section.file_name = filename.value;
  section.file_name_end = filename_start.value + SizeOf(filename.value);
  return Result{section};
}

}  // namespace zimrax
