// stowlet inspect: the part collection of one message, as a maintainer needs to see it.

#include <cstdio>
#include <string>

#include "cli/QVBodyJoin.h"
#include "cli/QVCommands.h"
#include "cli/QVFiles.h"
#include "cli/QVMailbox.h"
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

// The records of one message, under `label`.
void inspect(const std::string& label, QVManipulator& m, bool inMailbox) {
  std::printf("%s: %u rows, %zu records\n", label.c_str(), m.rowCount(), m.bagAll().size());
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
  // Text after closing rows, which the rebuilt message keeps after its end.
  for (const QVRowRange& e : m.epilogues()) {
    std::printf("epilogue: rows %u-%u (kept after the rebuilt message's end)\n", e.first, e.last);
  }
  // What the collection tolerated in a malformed message, where it stands.
  for (const QVDefectAt& d : m.defects()) {
    std::printf("defect: row %u: %s\n", d.row, std::string(describe(d.defect)).c_str());
  }
  if (auto failure = m.failure()) {
    std::printf("result: unchanged: %s\n", std::string(describe(*failure)).c_str());
  } else if (auto refusal = mailboxRefusal(m, inMailbox)) {
    std::printf("result: unchanged: %s\n", refusal->c_str());
  } else if (m.leftApart() && m.staysAsLeftApart(commandBodies(m, false, inMailbox))) {
    std::printf("result: unchanged: %s\n",
                std::string(describe(QVRebuildFailure::kNothingToMove)).c_str());
  } else {
    std::printf("result: rebuilt, %zu inline, %zu attachments\n", m.bagInline().size(),
                m.bagAttach().size());
  }
}

}  // namespace

int runInspect(QVMailSession& mail, const std::string& input) {
  QVInput in;
  if (auto error = QVInput::open(input, in, QVRowScanWhen::kUnlessMailbox)) {
    complain("cannot read " + (input == "-" ? std::string("standard input") : input) + ": " +
             *error);
    return kExitNoInput;
  }
  const std::string signature = signatureName(mail.defaults.get());
  // A mailbox: every message, each under its number.
  const std::vector<std::size_t> starts = in.messageStarts();
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : in.bytes().size();
    const QVMailboxMessage message = mailboxMessage(in.bytes(), starts[k], end);
    QVManipulator m(message.message, signature);
    if (k > 0) std::printf("\n");
    inspect(input + ": message " + std::to_string(k + 1), m, true);
    in.release(end);
  }
  if (starts.empty()) {
    const std::unique_ptr<QVManipulator> made = manipulatorFor(in, signature);
    inspect(input, *made, false);
  }
  return kExitOk;
}

}  // namespace qv::cli
