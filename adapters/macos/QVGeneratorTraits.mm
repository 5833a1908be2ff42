// The plug-in's methods on Mail's MCMessageGenerator (its category QVTraits, added at the
// start-up): the hook, which the start-up exchanges for Mail's generator method, and the
// tag removal it sends to the generator. The hook's rules are shared (hooks/QVHookPlan.h);
// this file hands Mail's objects to them. A failure of Mail's own method passes through the
// hook to Mail: the objects the hook holds are released on the way (the call's destructor),
// and its autorelease pool is left to Mail's own, which drains it with the exception's.

#include <objc/runtime.h>

#include <vector>

#include "QVMailPlugin.h"
#include "QVObjCBridge.h"
#include "hooks/QVHookPlan.h"
#include "hooks/QVTagPattern.h"

// What the plug-in sends to Mail's objects; declared here, implemented by Mail.
@interface NSObject (QVMailObjects)
- (id)mimeType;
- (id)filename;
- (id)contentID;
- (id)QVNewMessageWithHtmlString:(id)html plain:(id)plain other:(id)other hdrs:(id)hdrs;
- (id)removeTagsWithCids:(id)html cids:(id)cids;
@end

namespace qv::objc {

namespace {

// One call of Mail's generator, over its objects.
class GeneratorCall final : public QVGeneratorCall {
 public:
  GeneratorCall(id generator, id html, id plain, id other, id hdrs)
      : generator_(generator), html_(html), plain_(plain), other_(other), hdrs_(hdrs) {}
  ~GeneratorCall() override {
    [raw_ release];
    [result_ release];
  }
  GeneratorCall(const GeneratorCall&) = delete;
  GeneratorCall& operator=(const GeneratorCall&) = delete;

  bool hasPlainText() override { return plain_ != nil; }

  std::optional<std::vector<QVListItem>> list() override {
    {
      if (other_ == nil || ![other_ isKindOfClass:[NSArray class]]) return std::nullopt;
      std::vector<QVListItem> items;
      for (NSUInteger i = 0; i < [(NSArray*)other_ count]; ++i) {
        id element = [(NSArray*)other_ objectAtIndex:i];
        QVListItem& item = items.emplace_back();
        // Mail's classes by name at each test: a host without one has no such elements.
        Class htmlClass = NSClassFromString(@"__NSCFString");
        Class attachmentClass = NSClassFromString(@"MCAttachment");
        if (htmlClass != Nil && [element isKindOfClass:htmlClass]) {
          item.kind = QVListItem::Kind::kHtml;
          item.html = text(element).value_or(std::string());
        } else if (attachmentClass != Nil && [element isKindOfClass:attachmentClass]) {
          item.kind = QVListItem::Kind::kAttachment;
          item.mimeType = text([element mimeType]);
          item.filename = text([element filename]);
          item.contentID = text([element contentID]);
        } else if ([element isKindOfClass:[NSString class]]) {
          item.kind = QVListItem::Kind::kOtherText;
        }
      }
      return items;
    }
  }

  std::optional<std::string> removeTagsWithCids(const std::optional<std::string>& html,
                                                const std::vector<std::string>& cids) override {
    {
      NSMutableArray* ids = [NSMutableArray arrayWithCapacity:cids.size()];
      for (const std::string& cid : cids) [ids addObject:string(cid)];
      return text([generator_ removeTagsWithCids:html ? string(*html) : html_ cids:ids]);
    }
  }

  void generate(const std::optional<std::string>& html,
                const std::optional<std::vector<std::size_t>>& attachments) override {
    {
      id list = other_;
      if (attachments) {
        NSMutableArray* kept = [NSMutableArray arrayWithCapacity:attachments->size()];
        for (std::size_t i : *attachments) [kept addObject:[(NSArray*)other_ objectAtIndex:i]];
        list = kept;
      }
      [raw_ release];
      raw_ = nil;
      [result_ release];  // the previous message is dropped
      result_ = nil;
      // Mail's own method (after the exchange): it returns an object the caller owns.
      result_ = [generator_ QVNewMessageWithHtmlString:html ? string(*html) : html_
                                                 plain:plain_
                                                 other:list
                                                  hdrs:hdrs_];
    }
  }

  std::optional<std::string_view> outgoingRawData() override {
    {
      if (result_ == nil) return std::nullopt;
      id raw = [result_ valueForKey:@"_rawData"];
      Class outgoing = NSClassFromString(@"MCOutgoingMessage");
      if (raw == nil || ![raw isKindOfClass:[NSData class]] || outgoing == Nil ||
          ![result_ isKindOfClass:outgoing]) {
        return std::nullopt;
      }
      [raw_ release];
      raw_ = [raw retain];
      return std::string_view(static_cast<const char*>([(NSData*)raw bytes]),
                              [(NSData*)raw length]);
    }
  }

  void setRawData(std::string bytes) override {
    {
      NSData* data = [NSData dataWithBytes:bytes.data() length:bytes.size()];
      [result_ setValue:data forKey:@"_rawData"];
    }
  }

  // The message for Mail, owned by the caller.
  id takeResult() {
    id result = result_;
    result_ = nil;
    return result;
  }

 private:
  id generator_, html_, plain_, other_, hdrs_;
  id result_ = nil;  // owned
  id raw_ = nil;     // owned while its bytes are read
};

id newMessage(id self, SEL, id html, id plain, id other, id hdrs) {
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  id message = nil;
  {
    GeneratorCall call(self, html, plain, other, hdrs);
    runGeneratorHook(call, plugin().context);
    message = call.takeResult();
  }
  // (Skipped when Mail's own failure passes: Mail's pool further out drains this one.)
  [pool release];
  return message;
}

// The image tags of the identifiers taken out with the platform's regular expressions, over
// the shared pattern. That engine backtracks: it is let loose on one tag's stretch at a
// time (an "<img" up to the first ">" after it, the only place a match can lie, and where
// only the stretch's first "<img" can begin one), never on the whole text, so that no text
// makes it slow.
id removeTags(id, SEL, id html, id cids) {
  if (html == nil || ![html isKindOfClass:[NSString class]]) return nil;
  NSMutableString* out = [[html mutableCopy] autorelease];
  if (![cids isKindOfClass:[NSArray class]]) return out;
  for (NSUInteger i = 0; i < [(NSArray*)cids count]; ++i) {
    const std::optional<std::string> cid = text([(NSArray*)cids objectAtIndex:i]);
    const std::optional<std::string> pattern = cid ? imageTagPattern(*cid) : std::nullopt;
    if (!pattern) continue;
    NSRegularExpression* tag =
        [NSRegularExpression regularExpressionWithPattern:string(*pattern)
                                                  options:NSRegularExpressionCaseInsensitive
                                                    error:NULL];
    if (tag == nil) continue;
    for (NSUInteger from = 0; from < [out length];) {
      const NSRange open = [out rangeOfString:@"<img"
                                      options:NSCaseInsensitiveSearch
                                        range:NSMakeRange(from, [out length] - from)];
      if (open.location == NSNotFound) break;
      const NSRange close =
          [out rangeOfString:@">"
                     options:0
                       range:NSMakeRange(NSMaxRange(open), [out length] - NSMaxRange(open))];
      if (close.location == NSNotFound) break;
      const NSRange stretch = NSMakeRange(open.location, NSMaxRange(close) - open.location);
      NSTextCheckingResult* match = [tag firstMatchInString:out
                                                    options:NSMatchingAnchored
                                                      range:stretch];
      if (match != nil && NSEqualRanges([match range], stretch)) {
        [out deleteCharactersInRange:stretch];
        from = open.location;
      } else {
        from = NSMaxRange(close);
      }
    }
  }
  return out;
}

}  // namespace

bool addGeneratorTraits() {
  Class generator = NSClassFromString(@"MCMessageGenerator");
  if (generator == Nil) return false;
  class_addMethod(generator, @selector(QVNewMessageWithHtmlString:plain:other:hdrs:),
                  implementation(&newMessage), "@@:@@@@");
  class_addMethod(generator, @selector(removeTagsWithCids:cids:), implementation(&removeTags),
                  "@@:@@");
  return true;
}

}  // namespace qv::objc
