#include "legacy_name_repair.h"

#include <unicode/uchar.h>
#include <unicode/ucsdet.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "text/utf8.h"

// Which code page the names are in is decided from two kinds of evidence,
// because neither alone is enough on the few short names of a small archive:
//
// 1. Plausibility. Each candidate decodes the names (a candidate that cannot
//    decode one of them is out), and every non-ASCII character it yields is
//    weighed by how likely it is in a file name of that script: common
//    characters of the script 1; other characters of the script's basic set
//    less (GB 2312 level 1 hanzi 0.6, JIS level 1 kanji and KS X 1001 hangul
//    0.4, the rest of the code page 0.1 to 0.3); Cyrillic letters by their
//    frequency, less in words that mix in Latin letters or change from lower
//    to upper case; accented Latin letters 1 next to ASCII letters and 0.3
//    in words made of them alone (how Cyrillic reads in windows-1252); other
//    symbols 0; box drawing, which no one types into a name, -0.5. The score
//    is the mean weight.
// 2. A detector. ICU's charset detector runs on all sampled names together;
//    the confidence it gives a candidate's charset adds up to kDetectorWeight.
//    It knows KOI8-R from windows-1251 by their letter statistics, which the
//    weights above cannot see.
//
// GB 18030 gets kChineseFirst on top, so it wins ties (this product's users
// are Chinese), and the best score wins. When even the best score stays below
// kLeastPlausible the names read as no script, and the caller's fallback is
// used. The score is taken on the first kSampleBytes of names; the winner
// must then decode every name, or the next best is tried.

namespace vexel::readers_internal {
namespace {

using text::CodePage;

constexpr double kChineseFirst = 0.1;
constexpr double kDetectorWeight = 0.2;
constexpr double kLeastPlausible = 0.2;
constexpr std::size_t kSampleBytes = 16 * 1024;

// The candidates in order of preference: on equal scores the earlier wins.
constexpr std::array<CodePage, 9> kCandidates = {
    CodePage::gb18030, CodePage::cp932, CodePage::big5,   CodePage::cp949,  CodePage::cp437,
    CodePage::cp866,   CodePage::koi8r, CodePage::cp1251, CodePage::cp1252,
};

// Simplified Chinese characters common in text and in file names.
constexpr std::string_view kCommonSimplified =
    "一丁七万三上下不与世业东两个中临为主么义之乐九也习书了事二于"
    "五些交产京亲人什今介从他代以们件价任份优会传但位住体何作你使"
    "便保信修候值做健儿元先光入全八公六共关其具内册再军决准几凭出"
    "分划创初利别到制前剖剧副力办功加务动助包化北区医十升半华协单"
    "南印却卷历压原去参又及友反发受变口只叫可台司吃各合同名后向听"
    "告员周命和品售器四回因固国图在地场址城培基境声处备复外多大天"
    "太夫头夹奖女她好如子字季学孩它安完宗定实审客室家密对封将小少"
    "就屏展山工己已市师带帮常干平年并序库应度座庭康建开式引张强当"
    "录影往很得心必志快怎怕思性总恢情想意感戏成我或战截户所手才打"
    "扫批技把投护报招指据排接控描提插摘收改放政故效教数文料新方施"
    "旅无日旧时明是景曲更最月有朋服望期未本术机杂权材条来板析林果"
    "查标校样核格案桌档检模次款歌正此步武死每比毕毛民气水汇没治法"
    "注洞活流测海深清游源漏演漫激点然照爱父片版物特状献王环现班理"
    "生用由申电画界留病登白百的监盖目直相看真眼着知码研破确示社神"
    "票种科积移程税稿究立站章端笑笔第等答签简算管箱系素红级纸线练"
    "细终绍经结给络统绩维综缩网置美老考者而联聘股背能脑脚自至致色"
    "节花草荣药获营薪行补表被装西要见规视览觉解言誉警计订认讨让训"
    "议讯记讲许论设证词试话该详说请课谢象财账货质购贷费资走起跟路"
    "身车软载辩边达迁过运近还这进远连述通道那邮部都配酬采里重量金"
    "银销键长门问间闻队附院险障难青非面革音页项预领频题风馆马驱驾"
    "验高";

// Traditional Chinese characters common in text and in file names.
constexpr std::string_view kCommonTraditional =
    "一七三上下不世並中主之九也乾了事二五些交京人什今他代以件任份"
    "但位住何作你使來便保信修個們候做備傳元先光兒入內全兩八公六共"
    "其冊再出分別利到制前力功加動務化北區十半南卻原去又及反受口只"
    "叫可台司吃各合同名向告周命和品員售問嘉四回因國園圖在地城基報"
    "場外多大天太夫夾女她好如子字季學它安完定宜客家實封將專對小少"
    "就屏展山工己已市師帶常平年幾度建式張強彰影往很後得從心必快怎"
    "怕思性情想意愛感應成我或戰戶所手才打技把指接提據改放政教數文"
    "料新方於日明是時更書最會月有服望期本東林果栗格桃案桌條業樂樣"
    "機檔權次正此步武死每比毛民氣水決沒治法活流海深清港湖澎澳灣為"
    "無然照父片版物特王現理生產用由界留畫當發白百的目直相看真眼知"
    "社祖神科程種稿立竹笑第等算管系約紅終結給統經總繁美義習老者而"
    "聯聲聽能自至臺與色花苗草華萬著蓮蘭處行術表被裝裡西要見親覺解"
    "言計記設許話該認說請論議變讓象財資走起跟路身車軍軟載辦近這通"
    "連進運過道達遠還邊那部都重金銷錄長門開間關附院隆隊雄難雲電青"
    "非面革音領頭題風香馬體高麼點";

// Kanji common in Japanese text and file names.
constexpr std::string_view kCommonKanji =
    "一丁七万三上下不与世両並中丸主久之乗九乱乳亀了予争事二互五井"
    "亡交京人仁今介仏仕他付仙代令以仮仲件任企伊休会伝伴伸似位低住"
    "佐体何余作併使例供依価侵便係促保信修倉個倍倒候借値倫偏停健側"
    "偽備催債傷傾働像僕僚儀億償優元兄充兆先光克免児党入全八公六共"
    "兵具典兼内円冊再冒写冬冷凍処出分切刊刑列初判別利到制刷券刺刻"
    "則削前剣剤副割創劇力功加助努励労効勇勉動務勝募勢勤勧包化北区"
    "医十千午半卒卓協南単博占印危即却卵厚原厳去参及友双反収取受口"
    "古句可台史右号司各合吉同名向君否含吸吹告周味呼命和品員哲唯唱"
    "商問善喚喜喪喫営器噴四回因団困囲図固国圏園土圧在地坂均型埋城"
    "域執基堀堂堅報場塁塩塾境墓増壁壊士声売変夏夕外多夜夢大天太夫"
    "央失奈奏契奥奪女好妙妥妻始委姿威娘婚婦嫌子字存孝季孤学宅宇守"
    "安完宏宗官宙定宝実客宣室宮害家容宿寄密富寝察審寺対寿封専射将"
    "尊導小少就尽尾局居届屋展属層山岡岩岳岸島崎崩川州巡工左巨差己"
    "巻市布希帝師席帯帰常幅幕干平年幸幹幼庁広床序底店府度座庫庭康"
    "廃延建弁式引弟弱張強弾当形彩彰影役彼待律後徒従得御復微徳徴徹"
    "心必志忘応忠快念怒怖思急性恋恐恒息恵患悩悪悲情惑想意愛感態慎"
    "慣慮慰慶憲憶懸成我戒戦戸戻房所手打払扱批承技抑投抗折抜択抱抵"
    "押担拒拘招拠拡括持指挑挙振捕捜捨掃授排掘掛採探接控推措掲描提"
    "揚換握揮援揺損携摘摩撃撤撮撲擁操支改攻放政故敏救敗教散敬数整"
    "敵敷文斉料断新方施旅族旗既日旧旨早旬昇明易昔星映春昨昭是昼時"
    "普景晴智暗暫暮暴曜曲更書替最月有服望朝期木未末本札材村束条来"
    "杯東松板析林枚果枠柄染柔柱柳査栄校株核根格案桜梅梨械棄棋森植"
    "検業極楽概構様標模権横樹橋機欠次欧欲歌歓止正武歩歯歳歴死残段"
    "殺殿母毎比毛氏民気水永求汚江池決沈沖沢河油治沿況泉泊法波注泰"
    "泳洋洗津活派流浅浜浦浩浮浴海消液深混清済渉減渡温測港湖湯湾満"
    "源準滅滑滞漁漏演潜潟潮激濃瀬火災炎炭点為無焦然焼煙照熊熱燃爆"
    "父片版牛物牲特犬犯状独狭猛献獲率玉王珍現球理環甘生産用田由甲"
    "申男町画界畑留略番異疑疲病症痛療発登白百的皆皇皮益盗盛盟監盤"
    "目直相省看県真眠着督瞬矢知短石砂研砲破硬確礎示礼社祉祖祝神祥"
    "票祭禁福秀私秋科秒秘秩称移程税種稲稼積究空突窓立竜章童端競竹"
    "笑第筆等筋答策算管箱節範築簡籍米精糧系紀約紅納純紙級紛素索細"
    "紹終組経結絞絡給統絵絶継続維綱網緊総緑緒線締編緩練縁縄縦縮績"
    "繁織繰罪置罰署美群義羽翌習翼老考者耐耳聖聞聴職肉肝肩育背胸能"
    "脅脚脱脳腐腕腰腹膨臣臨自至致興舎舞航般船良色芝花芳芸若苦英茂"
    "茶草荒荷菊菜華菱落葉著葬蓄蔵薄薦薬藤虫融血衆行術街衛衝衣表袋"
    "被裁裂装裏裕補製複襲西要見規視覚覧親観角解触言計討訓託記訪設"
    "許訳訴診証評試詩詰話詳誇誉誌認誕誘語誠誤説読課調談請論諸講謝"
    "識警議譲護谷豊象豪負財貢貧貨販貫責貯貴買貸費貿賀賃資賛賞賠賢"
    "質購贈赤走起超越趣足距跡路踊踏躍身車軍軟転軸軽較載輝輪輸辞農"
    "辺込迎近返迫述迷追退送逃逆透途通速造連逮週進遅遇遊運過道達違"
    "遠遣適選遺避還邦郎郡部郵郷都配酒酸釈里重野量金針鈴鉄銀銭鋼録"
    "鎖長門閉開間関閣閥闘阪防阻阿降限院陣除陥陳陸険陽隆隊階際障隠"
    "隣雄雅集雇雑離難雨雪雲零電需震露青静非面革韓音響頂項順須預頑"
    "領頭頼題額顔願類顧風飛食飯飲飾養館首香馬駅駆駐騒験驚骨高魅魚"
    "鮮鳥鳴麻黄黒黙齢";

// Hangul syllables common in Korean text and file names.
constexpr std::string_view kCommonHangul =
    "가간강같개거것게견결경계고공과관교구국군그금급기김까나날내너"
    "네노논뉴는니다달답당대더데도돌동되드들듯등때라래램러력로록료"
    "른를름리린마막만많말맞매머며면명몇모목못무문물미민바박반발방"
    "배백번법변보복본봉부분불비빠사산상새색생서석선설성세소속수스"
    "시식신실심씨아악안야약양어언얼엄업없었에엔여역연열였영예오옥"
    "올와완왕왜외요용우운원월웨위유육윤으은을음응의이익인일임입있"
    "자작잘잠장재저적전절점정제조족졸종좋죠주준중즈증지직진집차참"
    "찾책처천첨청체초최추출충취측치친칠카크큰타택터테템토통트특티"
    "파판팔편평포폴표품프피필하학한할함합해했행향허험현형혜호화확"
    "활황회획효후흥희";

// Russian letters by frequency: the most frequent, then the middle ones; the
// rest (ф, щ, э, ъ, ё and letters of other Cyrillic alphabets) weigh least.
constexpr std::u32string_view kFrequentCyrillic = U"оеаинтсрвлкмдпу";
constexpr std::u32string_view kMiddleCyrillic = U"яыьгзбчйхжшюц";

// CommonSet: the characters of one table, for lookups.
class CommonSet {
 public:
  explicit CommonSet(std::string_view utf8) {
    for (const text::CodePoint cp : text::codePoints(utf8)) mChars.push_back(cp.value);
    std::sort(mChars.begin(), mChars.end());
  }
  [[nodiscard]] bool contains(char32_t c) const {
    return std::binary_search(mChars.begin(), mChars.end(), c);
  }

 private:
  std::vector<char32_t> mChars;
};

enum class Script { simplifiedChinese, japanese, traditionalChinese, korean, latin, cyrillic };

Script scriptOf(CodePage page) {
  switch (page) {
    case CodePage::gb18030:
      return Script::simplifiedChinese;
    case CodePage::cp932:
      return Script::japanese;
    case CodePage::big5:
      return Script::traditionalChinese;
    case CodePage::cp949:
      return Script::korean;
    case CodePage::cp866:
    case CodePage::koi8r:
    case CodePage::cp1251:
      return Script::cyrillic;
    case CodePage::cp437:
    case CodePage::cp1252:
      return Script::latin;
  }
  return Script::latin;
}

// commonCharacters: the table of a CJK script (made once, then read only).
const CommonSet& commonCharacters(Script script) {
  static const CommonSet simplified(kCommonSimplified);
  static const CommonSet traditional(kCommonTraditional);
  static const CommonSet kanji(kCommonKanji);
  static const CommonSet hangul(kCommonHangul);
  switch (script) {
    case Script::traditionalChinese:
      return traditional;
    case Script::japanese:
      return kanji;
    case Script::korean:
      return hangul;
    default:
      return simplified;
  }
}

bool isHan(char32_t c) { return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF); }
bool isKana(char32_t c) { return c >= 0x3041 && c <= 0x30FF; }
bool isHangul(char32_t c) { return c >= 0xAC00 && c <= 0xD7A3; }
bool isCyrillic(char32_t c) { return c >= 0x400 && c <= 0x45F; }
bool isBoxDrawing(char32_t c) { return c >= 0x2500 && c <= 0x259F; }
bool isFullWidthPunctuation(char32_t c) {
  return (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF01 && c <= 0xFF5E);
}
bool isAccentedLatin(char32_t c) { return c >= 0xC0 && c <= 0x24F && c != 0xD7 && c != 0xF7; }

// byteLength: the bytes of the character of `page` that starts at `at`.
std::size_t byteLength(CodePage page, std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned lead = byte(at);
  if (lead < 0x80) return 1;
  switch (page) {
    case CodePage::gb18030:
      return at + 1 < bytes.size() && byte(at + 1) >= 0x30 && byte(at + 1) <= 0x39 ? 4 : 2;
    case CodePage::cp932:
      return (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC) ? 2 : 1;
    case CodePage::big5:
    case CodePage::cp949:
      return 2;
    default:
      return 1;
  }
}

// cjkWeight: the weight of `c`, decoded from a double-byte code `code` (0
// when it is not known) of `page`.
double cjkWeight(CodePage page, char32_t c, unsigned code) {
  const Script script = scriptOf(page);
  if (commonCharacters(script).contains(c)) return 1.0;
  const unsigned lead = code >> 8;
  const unsigned trail = code & 0xFF;
  const bool isEucGrid = lead >= 0xA1 && trail >= 0xA1;
  if (isFullWidthPunctuation(c)) return 0.5;
  if (isBoxDrawing(c)) return -0.5;
  switch (script) {
    case Script::simplifiedChinese:
      if (isHan(c)) {
        if (isEucGrid && lead >= 0xB0 && lead <= 0xD7) return 0.6;  // GB 2312 level 1
        if (isEucGrid && lead >= 0xD8 && lead <= 0xF7) return 0.3;  // GB 2312 level 2
        return 0.15;                                                // GBK and GB 18030 additions
      }
      return isKana(c) ? 0.1 : 0.0;
    case Script::japanese:
      if (isKana(c)) return 1.0;
      if (isHan(c)) {
        if (code >= 0x889F && code <= 0x9872) return 0.4;  // JIS level 1
        if (code >= 0x989F && code <= 0xEAA4) return 0.2;  // JIS level 2
        return 0.1;                                        // vendor additions
      }
      return c >= 0xFF61 && c <= 0xFF9F ? 0.3 : 0.0;  // half-width katakana
    case Script::traditionalChinese:
      if (isHan(c)) return code >= 0xA440 && code <= 0xC67E ? 0.4 : 0.2;  // Big5 level 1, 2
      return 0.0;
    case Script::korean:
      if (isHangul(c)) return isEucGrid && lead >= 0xB0 && lead <= 0xC8 ? 0.4 : 0.15;  // KS X 1001
      return isHan(c) ? 0.1 : 0.0;  // hanja are rare in names
    default:
      return 0.0;
  }
}

// WeightSum: the running mean of the weights.
struct WeightSum {
  double total = 0;
  std::size_t count = 0;
  bool hasScriptLetter = false;  ///< some character is a letter of the script
  void add(double weight) {
    total += weight;
    ++count;
  }
};

// isScriptLetter: `c` is a letter of the script of `page`.
bool isScriptLetter(CodePage page, char32_t c) {
  switch (scriptOf(page)) {
    case Script::simplifiedChinese:
    case Script::traditionalChinese:
      return isHan(c);
    case Script::japanese:
      return isHan(c) || isKana(c);
    case Script::korean:
      return isHangul(c);
    case Script::cyrillic:
      return isCyrillic(c);
    case Script::latin:
      return isAccentedLatin(c);
  }
  return false;
}

// addCjkWeights: the weights of the non-ASCII characters of one name.
void addCjkWeights(CodePage page, std::string_view bytes, std::string_view text, WeightSum& sum) {
  std::size_t at = 0;
  for (const text::CodePoint cp : text::codePoints(text)) {
    unsigned code = 0;
    std::size_t length = 1;
    if (at < bytes.size()) {
      length = byteLength(page, bytes, at);
      if (length == 2 && at + 1 < bytes.size()) {
        code = static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) << 8 |
               static_cast<unsigned char>(bytes[at + 1]);
      }
    }
    at += length;
    if (cp.value < 0x80) continue;
    sum.add(cjkWeight(page, cp.value, code));
    sum.hasScriptLetter = sum.hasScriptLetter || isScriptLetter(page, cp.value);
  }
}

// addAlphabetWeights: the weights of the non-ASCII characters of one name
// in a Cyrillic or Latin code page, word by word.
void addAlphabetWeights(Script script, std::string_view text, WeightSum& sum) {
  std::u32string chars;
  for (const text::CodePoint cp : text::codePoints(text)) chars.push_back(cp.value);
  std::size_t start = 0;
  while (start < chars.size()) {
    const char32_t first = chars[start];
    if (u_isalpha(static_cast<UChar32>(first)) == 0) {
      if (first >= 0x80) sum.add(isBoxDrawing(first) ? -0.5 : 0.0);
      ++start;
      continue;
    }
    std::size_t end = start;
    bool hasAsciiLetter = false;
    bool breaksCase = false;
    bool previousIsLower = false;
    while (end < chars.size() && u_isalpha(static_cast<UChar32>(chars[end])) != 0) {
      const auto c = static_cast<UChar32>(chars[end]);
      hasAsciiLetter = hasAsciiLetter || chars[end] < 0x80;
      breaksCase = breaksCase || (previousIsLower && u_isupper(c) != 0);
      previousIsLower = u_islower(c) != 0;
      ++end;
    }
    for (std::size_t k = start; k < end; ++k) {
      const char32_t c = chars[k];
      if (c < 0x80) continue;
      double weight = 0.0;
      if (script == Script::cyrillic && isCyrillic(c)) {
        const auto lower = static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
        weight = kFrequentCyrillic.find(lower) != std::u32string_view::npos ? 1.0
                 : kMiddleCyrillic.find(lower) != std::u32string_view::npos ? 0.8
                                                                            : 0.5;
        if (hasAsciiLetter) weight *= 0.3;
        if (breaksCase) weight *= 0.5;
      } else if (script == Script::latin && isAccentedLatin(c)) {
        weight = hasAsciiLetter ? 1.0 : 0.3;
      }
      sum.hasScriptLetter = sum.hasScriptLetter || weight > 0;
      sum.add(weight);
    }
    start = end;
  }
}

struct UcsdetClose {
  void operator()(UCharsetDetector* detector) const noexcept { ucsdet_close(detector); }
};

// candidateOfCharset: the candidate that an ICU charset name stands for.
std::optional<std::size_t> candidateOfCharset(std::string_view name) {
  static constexpr std::pair<std::string_view, CodePage> kNames[] = {
      {"GB18030", CodePage::gb18030},     {"Shift_JIS", CodePage::cp932},
      {"Big5", CodePage::big5},           {"EUC-KR", CodePage::cp949},
      {"KOI8-R", CodePage::koi8r},        {"windows-1251", CodePage::cp1251},
      {"windows-1252", CodePage::cp1252}, {"ISO-8859-1", CodePage::cp1252},
  };
  for (const auto& [charset, page] : kNames) {
    if (charset != name) continue;
    for (std::size_t i = 0; i < kCandidates.size(); ++i) {
      if (kCandidates[i] == page) return i;
    }
  }
  return std::nullopt;
}

// detectorVotes: ICU's confidence (0 to 1) in each candidate for `bytes`.
std::array<double, kCandidates.size()> detectorVotes(std::string_view bytes) {
  std::array<double, kCandidates.size()> votes{};
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UCharsetDetector, UcsdetClose> detector(ucsdet_open(&status));
  if (U_FAILURE(status) || !detector) return votes;
  ucsdet_setText(detector.get(), bytes.data(), static_cast<int32_t>(bytes.size()), &status);
  int32_t count = 0;
  const UCharsetMatch** matches = ucsdet_detectAll(detector.get(), &count, &status);
  if (U_FAILURE(status) || matches == nullptr) return votes;
  for (int32_t i = 0; i < count; ++i) {
    const char* name = ucsdet_getName(matches[i], &status);
    const int32_t confidence = ucsdet_getConfidence(matches[i], &status);
    if (U_FAILURE(status) || name == nullptr) return votes;
    if (const auto candidate = candidateOfCharset(name)) {
      votes[*candidate] = std::max(votes[*candidate], confidence / 100.0);
    }
  }
  return votes;
}

// plausibilityOf: the mean weight of the names' decodings; nothing when the
// code page cannot decode one of them. A decoding without a single letter of
// the script (only punctuation, say) counts as implausible: a Chinese reading
// needs a hanzi, as the repair of GBK names always asked.
std::optional<double> plausibilityOf(text::CodePageConverter& converter, CodePage page,
                                     const std::vector<std::string_view>& names) {
  WeightSum sum;
  const Script script = scriptOf(page);
  for (const std::string_view bytes : names) {
    const std::optional<std::string> text = converter.decode(bytes);
    if (!text) return std::nullopt;
    if (script == Script::latin || script == Script::cyrillic) {
      addAlphabetWeights(script, *text, sum);
    } else {
      addCjkWeights(page, bytes, *text, sum);
    }
  }
  if (!sum.hasScriptLetter || sum.count == 0) return 0.0;
  return sum.total / static_cast<double>(sum.count);
}

// decodeAll: every name decoded with `page`, or nothing when one fails.
std::optional<std::vector<std::string>> decodeAll(CodePage page,
                                                  const std::vector<LegacyName>& names) {
  text::CodePageConverter converter(page);
  std::vector<std::string> decoded;
  decoded.reserve(names.size());
  for (const LegacyName& name : names) {
    std::optional<std::string> text = converter.decode(name.bytes);
    if (!text) return std::nullopt;
    decoded.push_back(std::move(*text));
  }
  return decoded;
}

}  // namespace

std::optional<double> plausibility(CodePage page, const std::vector<std::string>& names) {
  text::CodePageConverter converter(page);
  const std::vector<std::string_view> views(names.begin(), names.end());
  return plausibilityOf(converter, page, views);
}

LegacyDecoding fixGBKNames(const std::vector<LegacyName>& names, CodePage fallback) {
  std::vector<std::string_view> sample;
  std::string joined;
  for (const LegacyName& name : names) {
    if (joined.size() >= kSampleBytes) break;
    sample.push_back(name.bytes);
    joined += name.bytes;
    joined += '\n';
  }

  // Score every candidate on the sample; order them best first.
  struct Scored {
    CodePage page;
    double score;
  };
  std::vector<Scored> ranked;
  if (!sample.empty()) {
    const auto votes = detectorVotes(joined);
    for (std::size_t i = 0; i < kCandidates.size(); ++i) {
      text::CodePageConverter converter(kCandidates[i]);
      const std::optional<double> plausible = plausibilityOf(converter, kCandidates[i], sample);
      if (!plausible || *plausible < kLeastPlausible) continue;
      double score = *plausible + kDetectorWeight * votes[i];
      if (kCandidates[i] == CodePage::gb18030) score += kChineseFirst;
      ranked.push_back({kCandidates[i], score});
    }
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const Scored& a, const Scored& b) { return a.score > b.score; });

  // The best that decodes every name, not only the sample; CP437 always can.
  std::vector<CodePage> order;
  for (const Scored& scored : ranked) order.push_back(scored.page);
  order.push_back(fallback);
  order.push_back(CodePage::cp437);
  for (const CodePage page : order) {
    if (auto decoded = decodeAll(page, names))
      return {.codePage = page, .names = std::move(*decoded)};
  }
  // Only without an iconv for CP437: keep the bytes visible as far as they are UTF-8.
  LegacyDecoding lenient{.codePage = CodePage::cp437, .names = {}};
  for (const LegacyName& name : names) lenient.names.push_back(text::decodeUtf8Lenient(name.bytes));
  return lenient;
}

}  // namespace vexel::readers_internal
