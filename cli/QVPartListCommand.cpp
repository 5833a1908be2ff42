// stowlet inspect: the part collection of one message, as a maintainer needs to see it.

#include <cstdio>
#include <string>

#include "cli/QVCommands.h"
#include "cli/QVFiles.h"
#include "core/QVManipulator.h"
#include "host/QVSignatureName.h"

namespace qv::cli {

namespace {

void field(std::string& line, const char* name, const std::optional<std::string_view>& value) {
  if (!value) return;
  line.append("  ").append(name).append("=\"").append(*value).append("\"");
}

void fieldWithRow(std::string& line, const char* name, const std::optional<std::string_view>& value,
                  std::uint32_t row) {
  if (!value) return;
  field(line, name, value);
  line.append(" (row ").append(std::to_string(row)).append(")");
}

}  // namespace

int runInspect(QVMailSession& mail, const std::string& input) {
  QVInput in;
  if (auto error = QVInput::open(input, in, /*scanRows=*/true)) {
    complain("cannot read " + (input == "-" ? std::string("standard input") : input) + ": " +
             *error);
    return kExitNoInput;
  }
  const std::unique_ptr<QVManipulator> made =
      manipulatorFor(in, signatureName(mail.defaults.get()));
  QVManipulator& m = *made;
  m.collectParts();
  std::printf("%s: %u rows, %zu records\n", input.c_str(), m.rowCount(), m.bagAll().size());
  for (std::size_t i = 0; i < m.bagAll().size(); ++i) {
    const QVContentPart& p = m.bagAll()[i];
    const QVPartRole role = m.roleOf(i);
    std::string line = "[" + std::to_string(i) + "] " + std::string(describe(role));
    line.resize(std::max<std::size_t>(line.size(), 16), ' ');
    line += "rows " + std::to_string(p.startRow) + "-" + std::to_string(p.endRow);
    if (role == QVPartRole::kHeader) {
      fieldWithRow(line, "type", p.contentType, p.contentTypeRow);
    } else {
      field(line, "type", p.contentType);
    }
    fieldWithRow(line, "disposition", p.contentDisposition, p.contentDispositionRow);
    field(line, "boundary", p.boundary);
    field(line, "filename", p.filename);
    fieldWithRow(line, "cid", p.cid, p.cidRow);
    std::printf("%s\n", line.c_str());
  }
  // What the collection tolerated in a malformed message, where it stands.
  for (const QVDefectAt& d : m.defects()) {
    std::printf("defect: row %u: %s\n", d.row, std::string(describe(d.defect)).c_str());
  }
  if (auto failure = m.failure()) {
    std::printf("result: unchanged: %s\n", std::string(describe(*failure)).c_str());
  } else {
    std::printf("result: rebuilt, %zu inline, %zu attachments\n", m.bagInline().size(),
                m.bagAttach().size());
  }
  return kExitOk;
}

}  // namespace qv::cli
