// SPDX-License-Identifier: GPL-3.0-or-later
// The context rules of the Mandarin reader (see rules.h). The readings they choose are the
// Mainland ones (《现代汉语词典》): particles in their particle use take the neutral tone, words are
// read whole, and a character's use is told from the words around it, since the reader knows no parts
// of speech.
#include "speech/text/mandarin/rules.h"

#include <algorithm>
#include <initializer_list>
#include <string>

namespace speech::text::mandarin {

namespace {

constexpr std::u32string_view kDigits = U"二三四五六七八九零〇";

// The rules of the reader, over the tokens of one clause (a stretch of Han characters).
class Rules {
public:
    Rules(const MandarinLexicon& lex, Clause c)
        : lex_(lex), key_(c.key), syl_(c.syl), toks_(c.tokens), defaults_(c.defaults), fixed_(c.fixed) {}

    void apply() {
        markUserWords();
        for (size_t t = 0; t < toks_.size(); ++t)
            if (!toks_[t].user && toks_[t].len() == 1) polyphone(static_cast<int>(t));
        for (size_t t = 0; t < toks_.size(); ++t)
            if (!toks_[t].user) neutral(static_cast<int>(t));
        reduplication();
        toneChanges();
    }

private:
    void markUserWords() {
        if (toks_.empty()) return;
        const int32_t b = toks_.front().b;
        fixed_.assign(static_cast<size_t>(toks_.back().e - b), 0);
        for (const auto& k : toks_)
            if (k.user) std::fill(fixed_.begin() + (k.b - b), fixed_.begin() + (k.e - b), 1);
    }

    // --- looking at tokens -----------------------------------------------------------------------
    const Token* tok(int t) const {
        return t >= 0 && t < static_cast<int>(toks_.size()) ? &toks_[static_cast<size_t>(t)] : nullptr;
    }
    // Token t, the two before it and the two after it (null past the run's ends).
    struct Around {
        const Token *k, *p, *p2, *x, *x2;
    };
    Around around(int t) const { return {tok(t), tok(t - 1), tok(t - 2), tok(t + 1), tok(t + 2)}; }
    std::u32string_view text(const Token* t) const {
        return t ? std::u32string_view(key_.data() + t->b, static_cast<size_t>(t->len())) : std::u32string_view{};
    }
    bool is(const Token* t, std::u32string_view s) const { return t && text(t) == s; }
    bool in(const Token* t, std::initializer_list<std::u32string_view> set) const {
        if (!t) return false;
        const auto x = text(t);
        return std::find(set.begin(), set.end(), x) != set.end();
    }
    char32_t first(const Token* t) const { return t ? key_[static_cast<size_t>(t->b)] : 0; }
    char32_t last(const Token* t) const { return t ? key_[static_cast<size_t>(t->e - 1)] : 0; }
    bool single(const Token* t, char32_t c) const { return t && t->len() == 1 && first(t) == c; }
    bool singleIn(const Token* t, std::u32string_view set) const { return t && t->len() == 1 && oneOf(first(t), set); }
    bool startsIn(const Token* t, std::u32string_view set) const { return t && oneOf(first(t), set); }
    Syl& sylOf(const Token* t, int k = 0) { return syl_[static_cast<size_t>(t->b + k)]; }
    // A reading the context calls for (`ruled`: the context, not just the character's default).
    void set(int t, std::string_view s, bool ruled = true) {
        if (lex_.syllableId(s) >= 0 || s.ends_with('5')) {
            Syl& syl = syl_[static_cast<size_t>(toks_[static_cast<size_t>(t)].b)];
            syl.set(s);
            syl.ruled = ruled;
        }
    }
    // A particle's own reading (de, le, zhe): it replaces a loose entry's reading of the same spelling
    // (过得 de2 → de), not another reading (的确 dí, 了解 liǎo).
    void particle(int t, std::string_view s) {
        const Token& k = toks_[static_cast<size_t>(t)];
        const std::string_view now = syl_[static_cast<size_t>(k.b)].view();
        if (!k.loose || (now.size() == s.size() && now.substr(0, now.size() - 1) == s.substr(0, s.size() - 1)))
            set(t, s);
    }
    // The reading of a character on its own, where nothing in the context calls for another: a piece
    // of a loose entry keeps the entry's reading instead.
    void dflt(int t, std::string_view s) {
        if (!toks_[static_cast<size_t>(t)].loose) set(t, s, false);
    }

    bool numeralBefore(const Token* p) const { return p && oneOf(last(p), kNumerals); }
    bool pronoun(const Token* t) const {
        return in(t, {U"我",   U"你",   U"他",   U"她",   U"它",   U"您",   U"咱", U"俺",   U"我们", U"你们",  U"他们",
                      U"她们", U"它们", U"咱们", U"大家", U"自己", U"人家", U"谁", U"别人", U"大伙", U"大伙儿"});
    }
    // A noun naming people (学生, 孩子, 妈妈, ...) or a pronoun: a subject.
    bool subject(const Token* t) const {
        if (!t) return false;
        if (pronoun(t)) return true;
        if (t->len() < 2) return false;
        return oneOf(last(t), U"子们生师长家友员妈爸哥姐弟妹爷奶叔姨人");
    }

    // --- one-character polyphones ----------------------------------------------------------------
    void polyphone(int t) {
        surname(t) || polyphoneParticles(t) || polyphoneVerbs(t) || polyphoneReadings(t) || polyphoneOthers(t) ||
            polyphoneSuffixes(t);
    }

    // A surname read otherwise than the character (单 shàn, 解 xiè): before a title or 某 (单先生,
    // 解老师, 仇某), or after 老 and 小 that make a name of it (老单, 小查) at the end of a clause or
    // before a title.
    bool surname(int t) {
        [[maybe_unused]] const auto [k, p, p2, x, x2] = around(t);
        static constexpr std::pair<char32_t, std::string_view> kSurnames[] = {
            {U'单', "shan4"}, {U'解', "xie4"}, {U'仇', "qiu2"},  {U'朴', "piao2"},  {U'区', "ou1"},  {U'查', "zha1"},
            {U'翟', "zhai2"}, {U'盖', "ge3"},  {U'缪', "miao4"}, {U'曾', "zeng1"},  {U'乐', "yue4"}, {U'覃', "qin2"},
            {U'召', "shao4"}, {U'华', "hua4"}, {U'纪', "ji3"},   {U'种', "chong2"}, {U'员', "yun4"}, {U'秘', "bi4"},
            {U'谌', "chen2"}, {U'牟', "mou2"}, {U'那', "na1"},   {U'折', "she2"},   {U'尉', "yu4"},  {U'晟', "cheng2"},
            {U'繁', "po2"},   {U'句', "gou1"}, {U'过', "guo1"},  {U'葛', "ge3"},    {U'宓', "fu2"},  {U'眭', "sui1"}};
        const auto it = std::find_if(std::begin(kSurnames), std::end(kSurnames),
                                     [c = first(k)](const auto& e) { return e.first == c; });
        if (it == std::end(kSurnames)) return false;
        static constexpr std::initializer_list<std::u32string_view> kTitles = {
            U"先生", U"女士", U"老师", U"小姐", U"太太", U"夫人", U"教授", U"医生", U"大夫", U"师傅", U"经理",
            U"主任", U"同学", U"校长", U"局长", U"书记", U"总",   U"某",   U"老",   U"伯伯", U"阿姨"};
        const bool title = x && (in(x, kTitles) || std::any_of(kTitles.begin(), kTitles.end(), [&, next = x](auto s) {
                                     return text(next).starts_with(s) && s.size() == 2;
                                 }));
        const bool nickname = (single(p, U'老') || single(p, U'小')) && (!x || title);
        if (!title && !nickname && !opensName(t)) return false;
        set(t, it->second);
        return true;
    }

    // Whether the one-character token t opens a person's name: at the start of a clause (an item of a
    // list, 单田芳、解缙) or after 和, 与, 跟, 同, 及, before a given name of two characters that make
    // no common word (单田芳的评书), then the clause's end or what follows a name; or, for a surname
    // that is seldom a verb, a given name of one character before 是, 说, 曾 or 等 (解缙是).
    bool opensName(int t) const {
        [[maybe_unused]] const auto [k, p, p2, x, x2] = around(t);
        if (p && !singleIn(p, U"和与跟同及")) return false;
        static constexpr std::u32string_view kNotInNames =
            U"不了着过一二三四五六七八九十也就都很还又是的在和把被得地这那我你他她它们个开答决释放除散脱"
            U"读说析出来去到上下起回进好完掉住走成为有没要会能可以对向从给让叫使将才再已曾而且或与及跟同"
            U"等之其此些每各某哪什么怎样多少几";
        const auto given = [&](const Token* g) { return g && g->len() == 1 && !oneOf(first(g), kNotInNames); };
        const auto followsName = [&](const Token* a) {
            return !a || startsIn(a, U"的是说在和与跟同及等曾也就都又还被把对向从为于将已便即则才所");
        };
        // A given name the vocabulary lists on its own is a loose word of it (田芳, 良镛).
        if (x && x->len() == 2 && x->loose && !oneOf(first(x), kNotInNames) && followsName(x2)) return true;
        if (!given(x)) return false;
        if (given(x2) && followsName(tok(t + 3))) return true;
        return oneOf(first(k), U"单解仇朴区翟缪覃谌牟尉晟宓眭葛") && singleIn(x2, U"是说曾等");
    }

    bool polyphoneParticles(int t) {
        [[maybe_unused]] const auto [k, p, p2, x, x2] = around(t);
        switch (first(k)) {
            case U'得':
                // 得 děi "must" after its subject or an adverb, before what is to be done; dé "get"
                // before 了 or an object; de after a verb or adjective (跑得快).
                if (!p || subject(p) ||
                    in(p, {U"还",   U"就",   U"都",   U"也",   U"总",   U"又",   U"可",   U"只",   U"才",
                           U"必",   U"非",   U"还是", U"总是", U"可能", U"一定", U"恐怕", U"大概", U"也许",
                           U"肯定", U"今天", U"明天", U"后天", U"现在", U"以后", U"这次", U"下次", U"先",
                           U"再",   U"那",   U"那么", U"所以", U"因此", U"但是", U"可是", U"不过", U"而且",
                           U"晚上", U"早上", U"马上", U"首先", U"然后", U"于是"})) {
                    if (!x)
                        set(t, "de2");
                    else if (startsIn(x, U"了") || in(x, {U"奖", U"分", U"病", U"罪", U"票", U"胜", U"手"}))
                        set(t, "de2");
                    else
                        set(t, "dei3");
                } else {
                    particle(t, "de5");
                }
                break;
            case U'了':
                // V不了, V得了: liǎo "can manage"; 了解, 了结 (not before a word 解放 of its own).
                if ((p && p->len() == 1 && (first(p) == U'不' || (first(p) == U'得' && sylOf(p) == "de5"))) ||
                    (startsIn(x, U"解结") && x->len() == 1))
                    set(t, "liao3");
                else
                    set(t, "le5");
                break;
            case U'着':
                if (p && p->len() == 1 && (first(p) == U'不' || (first(p) == U'得' && sylOf(p) == "de5")))
                    set(t, "zhao2");  // 睡不着, 用得着
                else if ((singleIn(p, U"睡找猜点烧够碰摸逮抓借买见") && startsIn(x, U"了")) || singleIn(x, U"急火凉迷"))
                    set(t, "zhao2");  // 睡着了, 着急
                else
                    set(t, "zhe5");
                break;
            case U'地':
                // The adverbial particle after a word that describes how (认真地, 慢慢地); the ground
                // elsewhere (扫地, 这块地).
                if (p && x && p->len() >= 2 &&
                    key_[static_cast<size_t>(p->e - 1)] == key_[static_cast<size_t>(p->e - 2)]) {
                    set(t, "de5");  // after a reduplication: 慢慢地, 高高兴兴地
                } else if (p && x && !pronoun(p) && !numeralBefore(p) &&
                           (p->len() >= 2 || (p2 && p2->len() == 1 && first(p2) == first(p))) &&
                           !startsIn(x, U"上下里方区点面图球铁震址位带主毯板")) {
                    set(t, "de5");
                } else if (startsIn(x, U"上下里面")) {
                    set(t, "di4");
                } else {
                    dflt(t, "di4");
                }
                break;
            case U'的':
                particle(t, "de5");
                break;
            default:
                return false;
        }
        return true;
    }

    bool polyphoneVerbs(int t) {
        [[maybe_unused]] const auto [k, p, p2, x, x2] = around(t);
        switch (first(k)) {
            case U'盛':
                // chéng "fill, ladle out" before what is ladled, where to, or a complement (盛饭, 盛出来,
                // 盛在碗里, 盛满); shèng (盛开, 茂盛) is in words.
                if (x && (startsIn(x, U"饭汤粥菜水酒出进到在满上好了着起些点一碗") || in(x, {U"不下"})))
                    set(t, "cheng2");
                break;
            case U'缝':
                // féng "sew" before what is sewn or a complement (缝扣子, 缝好); fèng the seam (门缝).
                if (x && startsIn(x, U"扣衣被裤袜补好上起一了着针几")) set(t, "feng2");
                break;
            case U'还':
                // huán "give back": before what is returned or whom to, or ending the clause (什么时候还).
                if (!x ||
                    in(x, {U"钱", U"书", U"给", U"债", U"账", U"款", U"清", U"回", U"回来", U"回去", U"原", U"贷",
                           U"礼", U"东西", U"车", U"欠"}) ||
                    (pronoun(x) && x2 &&
                     (startsIn(x2, kNumerals) || startsIn(x2, U"这那") || in(x2, {U"钱", U"书", U"东西", U"债"}))))
                    set(t, "huan2");
                else
                    dflt(t, "hai2");
                break;
            case U'长':
                if ((p && oneOf(last(p), U"太很更最真多好挺越够较又")) ||
                    in(p, {U"非常", U"特别", U"比较", U"这么", U"那么", U"有点", U"有点儿", U"不", U"过"}) ||
                    single(x, U'长') || single(p, U'长'))
                    set(t, "chang2");
                else if (x && (startsIn(x, U"得了着出成满高大胖个") || in(x, {U"这么", U"那么"})))
                    set(t, "zhang3");
                else
                    dflt(t, "chang2");
                break;
            case U'行':
                if (p && (numeralBefore(p) || singleIn(p, U"这那哪每各隔")))
                    set(t, single(p, U'一') && is(x, U"人") ? "xing2" : "hang2");
                else
                    dflt(t, "xing2");
                break;
            case U'为': {
                bool yi = false;  // 以 A 为 B
                for (int k = 0; k < t; ++k) yi = yi || single(tok(k), U'以');
                if (yi || singleIn(p, U"成作认称分改视变选定列转化评立封推奉誉升降划译") || startsIn(x, U"所止") ||
                    (x && startsIn(x, kNumerals)) ||
                    (p && oneOf(last(p), U"我你他她它您") &&
                     ((p->len() == 1 && singleIn(p2, U"称选视评封推认")) ||
                      (p->len() == 2 && oneOf(first(p), U"称选视评封推认")))))
                    set(t, "wei2");
                else
                    dflt(t, "wei4");
                break;
            }
            case U'重':
                if (singleIn(x, U"写做来说读建装修演播印发组启选考拍画开申制排算填试洗打订设置遇"))
                    set(t, "chong2");
                else
                    dflt(t, "zhong4");
                break;
            case U'都':
                dflt(t, "dou1");
                break;
            case U'只':
                if (p && (numeralBefore(p) || singleIn(p, U"这那哪每几某各")))
                    set(t, "zhi1");
                else
                    dflt(t, "zhi3");
                break;
            case U'数':
                if (x && startsIn(x, U"十百千万亿以"))
                    set(t, "shu4");  // 数百人
                else if ((x && startsIn(x, U"一不得钱到着了过清数落")) || (single(p, U'一') && single(p2, U'数')))
                    set(t, "shu3");  // 数一数, 数不清, 数钱
                else
                    dflt(t, "shu4");
                break;
            default:
                return false;
        }
        return true;
    }

    bool polyphoneReadings(int t) {
        [[maybe_unused]] const auto [k, p, p2, x, x2] = around(t);
        switch (first(k)) {
            case U'调':
                if (singleIn(x, U"好整节皮和味料解匀"))
                    set(t, "tiao2");
                else
                    dflt(t, "diao4");
                break;
            case U'看':
                if (in(x, {U"孩子", U"小孩", U"小孩子", U"孩", U"门", U"家", U"守", U"护", U"管", U"摊", U"仓库",
                           U"犯人"}))
                    set(t, "kan1");
                else
                    dflt(t, "kan4");
                break;
            case U'中':
                if (singleIn(p, U"打射猜考选击命投") || startsIn(x, U"了") || singleIn(x, U"奖毒弹暑风计标彩举"))
                    set(t, "zhong4");
                else
                    dflt(t, "zhong1");
                break;
            case U'教':
                if (singleIn(p, U"请宗佛道任助家身执说受领指管"))
                    set(t, "jiao4");
                else if (pronoun(x) || (x && x->len() == 1 && !startsIn(x, U"育学室师授练材科堂会徒派养训诲导")))
                    set(t, "jiao1");  // 教我们, 教书
                else
                    dflt(t, "jiao1");
                break;
            case U'假':
                if (singleIn(p, U"放请休度病事婚产寒暑"))
                    set(t, "jia4");
                else
                    dflt(t, "jia3");
                break;
            case U'空':
                if (in(p, {U"有", U"没", U"没有", U"抽", U"得"}) && (!x || !startsIn(x, U"气间中")))
                    set(t, "kong4");
                else
                    dflt(t, "kong1");
                break;
            case U'种':
                if (p && (numeralBefore(p) || singleIn(p, U"这那哪各每某几多同另该此本何")))
                    set(t, "zhong3");
                else if (x && (startsIn(x, U"树花菜地田草豆瓜麦稻苗粮果了下上出在满着过") ||
                               in(x, {U"庄稼", U"粮食", U"玉米", U"土豆"})))
                    set(t, "zhong4");
                else
                    dflt(t, "zhong3");
                break;
            case U'差':
                if (singleIn(p, U"出公听交兼"))
                    set(t, "chai1");
                else
                    dflt(t, "cha4");
                break;
            case U'处':
                if ((x && startsIn(x, U"于在理置罚世")) || single(p, U'相'))
                    set(t, "chu3");
                else
                    dflt(t, "chu4");
                break;
            default:
                return false;
        }
        return true;
    }

    bool polyphoneOthers(int t) {
        [[maybe_unused]] const auto [k, p, p2, x, x2] = around(t);
        switch (first(k)) {
            case U'当': {
                bool ba = false;  // 把 A 当 B (把他 may be one entry of the frequency table)
                for (int k = 0; k < t; ++k)
                    ba = ba || (first(tok(k)) == U'把' &&
                                !in(tok(k), {U"把握", U"把手", U"把关", U"把柄", U"把戏", U"把守"}));
                if ((ba && x) || startsIn(x, U"作成做真铺"))
                    set(t, "dang4");
                else
                    dflt(t, "dang1");
                break;
            }
            case U'觉':
                if (singleIn(p, U"睡一午个懒"))
                    set(t, "jiao4");
                else
                    dflt(t, "jue2");
                break;
            case U'便':
                dflt(t, "bian4");
                break;
            case U'发':
                dflt(t, "fa1");
                break;
            case U'应':
                if (singleIn(x, U"邀聘征届"))
                    set(t, "ying4");
                else
                    dflt(t, "ying1");
                break;
            case U'将':
                dflt(t, "jiang1");
                break;
            case U'和':
                dflt(t, "he2");
                break;
            case U'要':
                dflt(t, "yao4");
                break;
            case U'好':
                dflt(t, "hao3");
                break;
            case U'倒':
                if (x && (startsIn(x, U"水茶酒") || startsIn(x, kNumerals) ||
                          in(x, {U"垃圾", U"是", U"也", U"不", U"车", U"退"})))
                    set(t, "dao4");
                else
                    dflt(t, "dao3");
                break;
            case U'没':
                dflt(t, "mei2");
                break;
            case U'少':
                dflt(t, "shao3");
                break;
            case U'几':
                dflt(t, "ji3");
                break;
            case U'给':
                dflt(t, "gei3");
                break;
            case U'乐':
                dflt(t, "le4");
                break;
            case U'难':
                dflt(t, "nan2");
                break;
            case U'背':
                if (x && (startsIn(x, U"着起上在") || in(x, {U"书包", U"包", U"孩子"})))
                    set(t, "bei1");
                else
                    dflt(t, "bei4");
                break;
            case U'量':
                if ((x && k->opens && k->closes && startsIn(x, U"一体身血")) || (single(p2, U'量') && single(p, U'一')))
                    set(t, "liang2");
                else
                    dflt(t, "liang4");
                break;
            default:
                return false;
        }
        return true;
    }

    bool polyphoneSuffixes(int t) {
        [[maybe_unused]] const auto [k, p, p2, x, x2] = around(t);
        switch (first(k)) {
            case U'们':
                set(t, "men5");
                break;
            case U'个':
                // A measure word after a number keeps its tone (一个, 三千多个); 这个, 那个 have it neutral.
                if ((p && oneOf(last(p), U"这那哪")) || startsIn(x, U"不没"))
                    set(t, "ge5");  // 这个; 下个不停
                else if ((p && (numeralBefore(p) || oneOf(last(p), U"多几每各"))) || k->loose)
                    set(t, "ge4");
                break;
            case U'过':
                // The aspect particle after a verb (去过, 见过) is neutral; the verb "pass" and the
                // complement of motion (飞过, 走过去) keep their tone.
                if (!p || (k->opens && !k->closes) || startsIn(x, U"来去得") ||
                    in(p, {U"不", U"没", U"难", U"太", U"很", U"再", U"也", U"都", U"又", U"就", U"超",
                           U"通", U"经", U"错", U"放", U"度", U"胜", U"比", U"熬", U"挺", U"混", U"不会"}) ||
                    (p && oneOf(last(p), U"飞跑跳穿越游爬跨翻渡闯掠划驶飘滑绕")) || (single(p, U'走') && !x))
                    dflt(t, "guo4");
                else
                    set(t, "guo5");
                break;
            case U'上':
            case U'里':
                // After a noun, the place words 上 and 里 are neutral (桌子上, 屋里); after a verb 上 is a
                // complement (考上, 关上); after a number 里 is the unit (十公里).
                // In a phrase of the frequency table that it opens (里没有), as after its noun.
                if (!p || p->user || !(k->closes || k->wordLen >= 3)) break;
                if (first(tok(t)) == U'里') {
                    if (!numeralBefore(p) && !oneOf(last(p), U"这那哪公英千万")) set(t, "li5");
                } else if (!(x && startsIn(x, kNumerals)) &&
                           !oneOf(last(p), U"马晚早了的着过不得往向朝去来到在从东西南北")) {
                    if (!oneOf(last(p), U"考关穿戴爬走跟赶追锁闭合贴写填加配看爱迷碰遇登踏送带拿放挂套插盖换装涂搭"))
                        set(t, "shang5");
                    else if (p->len() == 1)
                        set(t, "shang4");
                }
                break;
            case U'来':
            case U'去':
                // After a complement of direction, 来 and 去 are neutral too (钻出来, 种下去).
                if (p && !p->user && k->closes && p->len() <= 2 && oneOf(last(p), U"上下进出回过起开") &&
                    !in(p, {U"一起", U"一下", U"上下", U"以上", U"以下"}))
                    set(t, first(tok(t)) == U'来' ? "lai5" : "qu5");
                break;
            case U'血':
                // On its own, colloquially xiě (流了很多血); in words xuè.
                if (k->opens && k->closes && !k->loose) set(t, "xie3");
                break;
            case U'儿':
                // After a character of the clause, an 儿 on its own is the erhua suffix (画儿, 滚儿);
                // not after 儿 itself (儿儿 is two syllables).
                if (p && last(p) != U'儿' && k->opens && k->closes && !k->loose) set(t, "r5");
                break;
            case U'相':
                if (singleIn(p, U"张照")) set(t, "xiang4");
                break;
            case U'弹':
                if (in(x, {U"钢琴", U"琴", U"吉他", U"琵琶", U"古筝", U"曲子", U"唱"})) set(t, "tan2");
                break;
            case U'系':
                if (x && (startsIn(x, U"好上紧住") || in(x, {U"领带", U"鞋带", U"安全带", U"扣子"}))) set(t, "ji4");
                break;
            case U'么':
                set(t, "me5");
                break;
            default:
                return false;
        }
        return true;
    }

    // --- neutral tones ---------------------------------------------------------------------------
    static bool reduplicable(char32_t c) {
        // Verbs said twice for "a little" (看看, 想想), and kin terms (妈妈 is in the lexicon; a
        // name-like 宝宝 too).
        return oneOf(c,
                     U"看想说试走听问找尝玩聊谈坐等洗写读学练算摸动跳笑歇逛转查猜请帮改数比量擦扫拍"
                     U"敲摇揉捏捶抱亲闻搓泡晒吹唱讲商议研讨考虑收拾打扮逗夸劝瞧瞅歇溜跑转碰翻挑选");
    }

    void neutral(int t) {
        const Token* k = tok(t);
        const Token* p = tok(t - 1);
        if (k->len() != 1) return;
        const char32_t c = first(k);
        // Noun suffixes.
        if (c == U'子' && p && p->len() == 1 && !oneOf(first(p), kNumerals) && !pronoun(p)) sylOf(k).setTone(5);
        if (c == U'头' && singleIn(p, U"里外上下前后木石念骨舌")) sylOf(k).setTone(5);
        if (c == U'们') sylOf(k).setTone(5);
    }

    // Reduplication, by characters whatever the words: a verb said twice has its second neutral
    // (看看, 想想); in V一V 一 is neutral and the second verb keeps its tone (看一看); in A不A and
    // AB不AB 不 is neutral (是不是, 喜欢不喜欢).
    void reduplication() {
        if (toks_.empty()) return;
        const size_t b = static_cast<size_t>(toks_.front().b), e = static_cast<size_t>(toks_.back().e);
        for (size_t i = b + 1; i < e; ++i) {
            const char32_t c = key_[i];
            if (fixed_[i - b]) continue;
            if (c == key_[i - 1] && reduplicable(c) && (i + 1 >= e || key_[i + 1] != c) &&
                (i < b + 2 || key_[i - 2] != U'一'))
                syl_[i].setTone(5);
            if (c == U'一' && i + 1 < e && key_[i - 1] == key_[i + 1] && reduplicable(key_[i - 1])) {
                syl_[i].set("yi5");
                syl_[i + 1] = syl_[i - 1];
            }
            if (c == U'不' && i + 1 < e &&
                (key_[i - 1] == key_[i + 1] ||
                 (i >= b + 2 && i + 2 < e && key_[i - 2] == key_[i + 1] && key_[i - 1] == key_[i + 2])))
                syl_[i].set("bu5");
        }
    }

    // --- 一 and 不 -----------------------------------------------------------------------------
    int baseTone(size_t i) const {
        const int tone = syl_[i].tone();
        if (tone != 5) return tone;
        const uint16_t d = defaults_[i];
        const auto s = d == 0xFFFF ? std::string_view{} : lex_.syllable(d);
        return s.empty() ? 5 : s.back() - '0';
    }

    void toneChanges() {
        if (toks_.empty()) return;
        const size_t b = static_cast<size_t>(toks_.front().b), e = static_cast<size_t>(toks_.back().e);
        for (size_t i = b; i < e; ++i) {
            if (fixed_[i - b]) continue;
            const char32_t c = key_[i];
            Syl& s = syl_[i];
            if (c == U'不' && s == "bu4") {
                if (i + 1 < e && baseTone(i + 1) == 4) s.set("bu2");
            } else if (c == U'一' && s == "yi1") {
                if (i + 1 >= e) continue;  // at the end
                const char32_t prev = i > b ? key_[i - 1] : 0;
                const char32_t next = key_[i + 1];
                // Counting and ordinals keep yī: 第一, 十一, 统一, 一九八四, 一月, 一号, 一一.
                if (oneOf(prev, U"第统万唯十初专单划归合逐其之期拜零〇二三四五六七八九") || oneOf(next, kDigits) ||
                    next == U'一' || next == U'十' || next == U'月' || next == U'号')
                    continue;
                s.set(baseTone(i + 1) == 4 ? "yi2" : "yi4");
            }
        }
    }

    const MandarinLexicon& lex_;
    std::vector<char32_t>& key_;
    std::vector<Syl>& syl_;
    std::vector<Token>& toks_;
    std::vector<uint16_t>& defaults_;
    std::vector<uint8_t>& fixed_;
};

}  // namespace

void applyRules(const MandarinLexicon& lexicon, Clause clause) {
    Rules(lexicon, clause).apply();
}

}  // namespace speech::text::mandarin
