#pragma once
// The message generator hook's decisions, shared by every host: which pictures become
// attachments, the HTML text and the list Mail's own method receives, and whether the
// generated message is rebuilt or Mail's own output stands.
//
// The rules, in order:
//   1. Off (QVStowletEnabled false) or legacy (QVStowletLegacy true): pass through.
//   2. No plain-text alternative, or no list, or an empty one, or a list holding a text of
//      another class than Mail's HTML texts: pass through.
//   3. The list's walk: HTML texts joined; every attachment kept; an attachment whose
//      type contains "image/" is a picture, a signature picture when it has no file name or
//      its file name contains the signature name; each other picture's identifier, without
//      its delimiters, is remembered.
//   4. Only signature pictures (or none): pass through.
//   5. Mail's own method runs with the joined HTML (or the HTML as it came, when nothing
//      was joined) without the image tags of the remembered identifiers, and with the
//      attachments alone (or the list as it came, when it has none).
//   6. Its message, when it is an outgoing message with raw data, gets the rebuilt data.
//   7. Otherwise (also when step 5 or 6 raised) Mail's own method runs once more with the
//      uncleaned HTML of step 5 and the list as it came, and that message stands.
// A pass-through runs Mail's own method once, with the arguments as received.
//
// Mail's own failures stay Mail's: what Mail's own method raises on a pass-through or in
// the run of step 7 reaches the hook's caller as it would without the plug-in. Every other
// failure (the plug-in's own, or Mail's in steps 1 to 6) ends in Mail's own output.

#include <optional>
#include <string>
#include <vector>

#include "host/QVPluginContext.h"
#include "host/QVPluginPort.h"

namespace qv {

// What the walk of the list decided (rule 3 and 4); nothing: pass through.
struct QVHookPlan {
  std::vector<std::string> cids;          // identifiers of the pictures that become attachments
  std::optional<std::string> joinedHtml;  // the joined HTML texts, when there were any
  std::vector<std::size_t> attachments;   // positions of the attachments in the list
};
[[nodiscard]] std::optional<QVHookPlan> planHook(const std::vector<QVListItem>& list,
                                                 const std::string& signatureName);

// The whole hook over one call, with the context's settings and log. Only Mail's own
// method's failures escape (see above).
void runGeneratorHook(QVGeneratorCall& call, const QVPluginContext& context);

}  // namespace qv
