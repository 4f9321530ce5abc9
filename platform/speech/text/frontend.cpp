// SPDX-License-Identifier: GPL-3.0-or-later
// The text front end: which reader a text goes to (plain text, held whole or streamed, the voice's
// markup or SSML), with the user's aliases and the script runs over it, and the segmenter after them.
#include "speech/text/frontend.h"

#include "base/error.h"
#include "speech/core/constants.h"
#include "speech/text/alias_stage.h"
#include "speech/text/script_runs.h"
#include "speech/text/ssml_passthrough.h"
#include "speech/text/ssml_reader.h"
#include "speech/text/text_source.h"
#include "speech/text/unit_producers.h"
#include "speech/text/units.h"
#include "speech/text/user_lexicon.h"
#include "speech/text/voice_markup.h"

namespace speech::text {

bool readsAsMarkup(int32_t flags, std::optional<char16_t> first) {
    if ((flags & core::SVSFIsXML) && (flags & core::SVSFIsNotXML)) {
        throw base::Error(base::errc::kInvalidArg, "A text cannot be both XML markup and not XML markup.");
    }
    return (flags & core::SVSFIsXML) || (!(flags & core::SVSFIsNotXML) && first == u'<');
}

namespace {

// What every text starts with: the voices markup may name, the settings in force (the voice's own,
// with those persisted from earlier texts) and their packed style.
struct Start {
    std::shared_ptr<VoiceTable> voices;
    text::Settings settings;
    uint32_t style = 0;
};

Start startFor(const FrontEndContext& context) {
    Start s;
    s.voices = std::make_shared<VoiceTable>(context);
    if (context.persisted.voice) s.voices->indexOf(*context.persisted.voice);
    findScriptReaders(*s.voices, context.mixedScript);
    s.settings = fromState(context.persisted, *s.voices);
    s.style = packStyle(resolve(s.settings, context, s.voices->base));
    return s;
}

}  // namespace

std::vector<std::u16string> ssmlLexicons(const std::u16string& ssml) {
    const FrontEndContext context;
    return checkSsml(ssml, context, startFor(context).voices);
}

std::unique_ptr<SegmentSource> openTextStream(std::unique_ptr<TextStream> text, int32_t flags,
                                              const FrontEndContext& context, MarkupState* persistOut) {
    if (readsAsMarkup(flags, std::nullopt)) {
        throw base::Error(base::errc::kInvalidArg, "Markup is read whole, not as a stream.");
    }
    const Start start = startFor(context);
    if (persistOut && (flags & core::SVSFPersistXML)) *persistOut = context.persisted;
    auto producer =
        makeScriptStage(makeAliasStage(makeStreamProducer(std::move(text), start.style), context.userLexicon),
                        start.voices, context.mandarinLexicon, context.userLexicon.get(), context.citationTones);
    return makeTextSource(std::move(producer), start.voices, (flags & core::SVSFNLPSpeakPunc) != 0, start.style);
}

std::unique_ptr<SegmentSource> openText(std::shared_ptr<const std::u16string> text, int32_t flags,
                                        const FrontEndContext& context, MarkupState* persistOut) {
    if (!text) text = std::make_shared<const std::u16string>();
    const bool markup = readsAsMarkup(flags, text->empty() ? std::nullopt : std::optional<char16_t>((*text)[0]));
    const bool speakPunctuation = (flags & core::SVSFNLPSpeakPunc) != 0;
    const Start start = startFor(context);
    std::shared_ptr<const VoiceTable> voices = start.voices;

    if (!markup) {
        if (persistOut && (flags & core::SVSFPersistXML)) *persistOut = context.persisted;
        auto producer = makeAliasStage(makePlainProducer(std::move(text), start.style), context.userLexicon);
        return makeTextSource(makeScriptStage(std::move(producer), voices, context.mandarinLexicon,
                                              context.userLexicon.get(), context.citationTones),
                              voices, speakPunctuation, start.style);
    }
    if (isSsml(*text)) {
        // The lexicons the text's <lexicon> elements name are read, and a faulty one refused, before the
        // text is: their entries count after the user's own.
        const auto uris = checkSsml(*text, context, voices);
        const auto lexicons = withLexiconFiles(context.userLexicon, lexiconPaths(uris).orThrow()).orThrow();
        if (persistOut && (flags & core::SVSFPersistXML)) *persistOut = context.persisted;
        if (context.ssmlToEngine) {
            return openSsml(std::move(text), resolve(start.settings, context, start.voices->base), voices,
                            speakPunctuation);
        }
        auto producer = makeAliasStage(makeSsmlProducer(std::move(text), context, voices), lexicons);
        return makeTextSource(makeScriptStage(std::move(producer), voices, context.mandarinLexicon, lexicons.get(),
                                              context.citationTones),
                              voices, speakPunctuation, start.style);
    }
    MarkupState after = checkMarkup(*text, context, voices);
    if (persistOut && (flags & core::SVSFPersistXML)) *persistOut = std::move(after);
    auto producer = makeAliasStage(makeMarkupProducer(std::move(text), context, voices), context.userLexicon);
    return makeTextSource(makeScriptStage(std::move(producer), voices, context.mandarinLexicon,
                                          context.userLexicon.get(), context.citationTones),
                          voices, speakPunctuation, start.style);
}

}  // namespace speech::text
