#include "markup.h"

namespace speech::text {
bool isSsml(std::u16string_view) { return false; }
MarkupState checkMarkup(const std::u16string&, const FrontEndContext& context, std::shared_ptr<const VoiceTable>) {
    return context.persisted;
}
std::unique_ptr<UnitProducer> makeMarkupProducer(std::shared_ptr<const std::u16string> t, const FrontEndContext& c,
                                                 std::shared_ptr<const VoiceTable> v) {
    return makePlainProducer(std::move(t), packStyle(resolve(Settings{}, c, v->base)));
}
std::unique_ptr<SegmentSource> openSsml(std::shared_ptr<const std::u16string>, const Style&,
                                        std::shared_ptr<const VoiceTable>, bool) {
    return nullptr;
}
}  // namespace speech::text
