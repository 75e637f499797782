// What both halves of stdio.h share: the writer of report lines.
#include "platform/stdio.h"

namespace vantle::stdio {

SysResult<void> write_report(const text::ReportLine& line) { return write_err(text::report_text(line)); }

SysResult<void> write_report(std::string_view line) { return write_report(text::ReportLine{{std::string(line)}}); }

}  // namespace vantle::stdio
