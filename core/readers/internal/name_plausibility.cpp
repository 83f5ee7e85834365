#include "name_plausibility.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "text/utf8.h"

// Every non-ASCII character of a reading gets a weight: how likely it is in
// a file name of that reading's script.
//
// - CJK code pages know the byte code each character came from, and so its
//   level in the national standard: common characters of the script 1; other
//   characters of the basic set less (GB 2312 level 1 hanzi 0.6, JIS level 1
//   kanji and KS X 1001 hangul 0.4, rarer ones 0.05 to 0.3). GBK's other
//   rows (full-width letters and digits, kana, circled numbers, Greek,
//   symbols) are text too, less than hanzi; box drawing is not (-0.5).
// - Alphabets, and every script read as UTF-8, are weighed word by word: a
//   letter weighs by its script and by the word it stands in. Accented
//   Latin letters weigh most next to ASCII letters; Greek, Cyrillic,
//   Hebrew and Arabic letters in words of two or more letters of their own
//   script (Cyrillic letters also by frequency, less in words without
//   vowels, that mix in ASCII letters or change from lower to upper case).
//   A word that mixes scripts is no word. Combining marks weigh as letters
//   after a letter they can combine with, and against the reading anywhere
//   else; symbols of Latin-1 count a little next to ASCII letters and digits.
//
// The weights are tuned on names as the tools of each language write them
// (the tests hold tables of them), and on the mis-readings they turn into.

namespace vexel::readers_internal {
namespace {

using text::CodePage;

// Simplified Chinese characters common in text and in file names: those
// of everyday file names, and the most frequent in text (about 1,500).
constexpr std::string_view kCommonSimplified =
    "一丁七万三上下不与世业东两个中临为主么义之乐九也习书了事二于五些"
    "交产京亲人什今介从他代以们件价任份优会传但位住体何作你使便保信修"
    "候值做健儿元先光入全八公六共关其具内册再军决准几凭出分划创初利别"
    "到制前剖剧副力办功加务动助包化北区医十升半华协单南印却卷历压原去"
    "参又及友反发受变口只叫可台司吃各合同名后向听告员周命和品售器四回"
    "因固国图在地场址城培基境声处备复外多大天太夫头夹奖女她好如子字季"
    "学孩它安完宗定实审客室家密对封将小少就屏展山工己已市师带帮常干平"
    "年并序库应度座庭康建开式引张强当录影往很得心必志快怎怕思性总恢情"
    "想意感戏成我或战截户所手才打扫批技把投护报招指据排接控描提插摘收"
    "改放政故效教数文料新方施旅无日旧时明是景曲更最月有朋服望期未本术"
    "机杂权材条来板析林果查标校样核格案桌档检模次款歌正此步武死每比毕"
    "毛民气水汇没治法注洞活流测海深清游源漏演漫激点然照爱父片版物特状"
    "献王环现班理生用由申电画界留病登白百的监盖目直相看真眼着知码研破"
    "确示社神票种科积移程税稿究立站章端笑笔第等答签简算管箱系素红级纸"
    "线练细终绍经结给络统绩维综缩网置美老考者而联聘股背能脑脚自至致色"
    "节花草荣药获营薪行补表被装西要见规视览觉解言誉警计订认讨让训议讯"
    "记讲许论设证词试话该详说请课谢象财账货质购贷费资走起跟路身车软载"
    "辩边达迁过运近还这进远连述通道那邮部都配酬采里重量金银销键长门问"
    "间闻队附院险障难青非面革音页项预领频题风馆马驱驾验高斯尔德克形空"
    "则即像且类求取拉观切识导争飞根造持组济极英士失转令布始呢存罗击兵"
    "调商团集需党石整府离况亚际约息似官火断精满支消越容须增写称企吗史"
    "委乎轻易早曾除农找广显吧阿李谈念首局突专号尽另较语仅落随选列响虽"
    "推势希古众构房土某黑敌陈律足态兴派责星够底严巴例防族供续型紧黄绝"
    "奇察母段依群按河米围江织害斗双纪举杀攻苏低朝诉止愿千仍男钱热倒育"
    "属坐帝限船脸职速刻否刚威率甚独球般普弹苦假久错承晚兰拿谁益阳若哪"
    "微尼继送急血惊伤适波夜省喜卫食待陆居劳福纳欢雷充负云停木龙树疑层"
    "冷洲冲射略范竟句异汉村哈策卡罪判担州静退既衣您余痛差富灵角占征皮"
    "挥胜降阶沉坚善妈刘读啊超免买皇养伊怀执乱抗犯追宣佛岁航怪香著田铁"
    "左右穿艺阵概恶块顿敢守酒岛托央烈洋哥索胡靠评宝释顾弟互付伯慢欧换"
    "危忙暗姐坏丽良亮露永呼味野架域沙掉括舰鱼误湾吉减编楚肯败屋跑梦散"
    "温困剑渐救贵枪缺楼县尚毫娘智亦耳恩短掌恐遗席松秘鲁遇虑幸均钟诗藏"
    "赶损忽巨炮探湖叶春乡吸予礼港雨呀妇归睛饭额含顺输摇婚脱谓督毒油疗"
    "泽灭逐莫亡鲜圣择寻厂睡博勒烟授诺伦岸奥唐卖俄炸洛堂旁宫喝借君禁阴"
    "园谋宋避抓姑孙逃牙束跳顶玉镇雪午迫爷篇肉嘴遍凡础坦牛宁诸私庄祖丝"
    "翻暴森塔默握隐熟骨访弱蒙店鬼典欲萨伙遭盘爸扩弄雄稳忘亿刺拥徒姆杨"
    "齐赛趣刀床迎冰虚玩窗醒妻透替塞努休虎扬途侵刑绿兄迅套贸唯谷轮迹尤"
    "竞街促延震弃甲伟麻川缓潜闪灯针哲抵朱埃抱鼓植纯夏忍杰筑折郑贝尊吴"
    "秀混臣雅振染盛怒舞圆搞狂措姓残秋迷诚宽宇猛摆梅毁伸摩盟末乃悲拍赵"
    "尾";

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
    "鮮鳥鳴麻黄黒黙齢漢";

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

enum class Script { simplifiedChinese, japanese, traditionalChinese, korean, alphabet };

Script scriptOf(CodePage page) {
  switch (page) {
    case CodePage::gb18030:
      return Script::simplifiedChinese;
    case CodePage::cp932:
    case CodePage::eucjp:
      return Script::japanese;
    case CodePage::big5:
      return Script::traditionalChinese;
    case CodePage::cp949:
      return Script::korean;
    case CodePage::cp437:
    case CodePage::cp866:
    case CodePage::koi8r:
    case CodePage::cp1251:
    case CodePage::cp1252:
      return Script::alphabet;
  }
  return Script::alphabet;
}

const CommonSet& simplifiedSet() {
  static const CommonSet set(kCommonSimplified);
  return set;
}
const CommonSet& traditionalSet() {
  static const CommonSet set(kCommonTraditional);
  return set;
}
const CommonSet& kanjiSet() {
  static const CommonSet set(kCommonKanji);
  return set;
}
const CommonSet& hangulSet() {
  static const CommonSet set(kCommonHangul);
  return set;
}

bool isHan(char32_t c) { return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF); }
bool isKana(char32_t c) { return c >= 0x3041 && c <= 0x30FF; }
bool isHalfWidthKana(char32_t c) { return c >= 0xFF61 && c <= 0xFF9F; }
bool isHangul(char32_t c) { return c >= 0xAC00 && c <= 0xD7A3; }
bool isBoxDrawing(char32_t c) { return c >= 0x2500 && c <= 0x259F; }
bool isFullWidthAlnum(char32_t c) {
  return (c >= 0xFF10 && c <= 0xFF19) || (c >= 0xFF21 && c <= 0xFF3A) ||
         (c >= 0xFF41 && c <= 0xFF5A);
}
bool isFullWidthPunctuation(char32_t c) {
  return (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF01 && c <= 0xFF5E);
}
// Circled and parenthesised numbers, Roman numerals: GBK's numbering rows.
bool isNumberForm(char32_t c) {
  return (c >= 0x2460 && c <= 0x249B) || (c >= 0x2160 && c <= 0x217F) ||
         (c >= 0x3220 && c <= 0x3229);
}
bool isBasicGreek(char32_t c) {
  return c == 0x386 || (c >= 0x388 && c <= 0x3CE && c != 0x38B && c != 0x38D && c != 0x3A2);
}
bool isBasicCyrillic(char32_t c) { return c >= 0x400 && c <= 0x45F; }
// isAsciiAlnum: an ASCII letter or digit.
bool isAsciiAlnum(char32_t c) {
  return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
}
bool isControlOrPrivate(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || (c >= 0xE000 && c <= 0xF8FF) || c == 0xFFFD;
}
bool isEmoji(char32_t c) { return (c >= 0x1F300 && c <= 0x1FAFF) || (c >= 0x2600 && c <= 0x27BF); }

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
    case CodePage::eucjp:
      return lead == 0x8F ? 3 : 2;
    case CodePage::big5:
    case CodePage::cp949:
      return 2;
    default:
      return 1;
  }
}

// CjkWeight: a character's weight and whether it is a letter of the script.
struct CjkWeight {
  double weight = 0;
  bool isLetter = false;
};

// cjkWeight: the weight of `c`, decoded from the double-byte code `code` (0
// for other lengths) of `page`.
CjkWeight cjkWeight(CodePage page, char32_t c, unsigned code) {
  const Script script = scriptOf(page);
  const unsigned lead = code >> 8;
  const unsigned trail = code & 0xFF;
  const bool isEucGrid = lead >= 0xA1 && trail >= 0xA1;
  if (isBoxDrawing(c)) return {-0.5, false};
  if (isFullWidthAlnum(c)) return {0.6, true};
  if (isFullWidthPunctuation(c)) return {0.5, false};
  switch (script) {
    case Script::simplifiedChinese:
      if (simplifiedSet().contains(c)) return {1.0, true};
      if (isHan(c)) {
        if (isEucGrid && lead >= 0xB0 && lead <= 0xD7) return {0.6, true};  // GB 2312 level 1
        if (isEucGrid && lead >= 0xD8 && lead <= 0xF7) return {0.3, true};  // GB 2312 level 2
        // GBK additions; one whose trail byte is an ASCII letter or digit
        // most likely took that letter from the name.
        if (code != 0 && trail < 0x80) return {0.05, true};
        return {0.15, true};
      }
      if (isKana(c)) return {0.5, true};
      if (isNumberForm(c)) return {0.6, true};
      if (isBasicGreek(c)) return {0.5, true};
      if (isBasicCyrillic(c)) return {0.3, true};
      if (isEucGrid && lead <= 0xA9) return {0.3, true};  // the symbol rows
      return {0.0, false};
    case Script::japanese:
      if (isKana(c)) return {1.0, true};
      if (kanjiSet().contains(c)) return {1.0, true};
      if (isHan(c)) {
        if (page == CodePage::eucjp) {
          if (isEucGrid && lead >= 0xB0 && lead <= 0xCF) return {0.4, true};  // JIS level 1
          if (isEucGrid && lead >= 0xD0 && lead <= 0xF4) return {0.2, true};  // JIS level 2
          return {0.05, true};
        }
        if (code >= 0x889F && code <= 0x9872) return {0.4, true};  // JIS level 1
        if (code >= 0x989F && code <= 0xEAA4) return {0.2, true};  // JIS level 2
        return {0.1, true};                                        // vendor additions
      }
      if (isHalfWidthKana(c)) return {0.3, false};  // a letter from two on (cjkTally)
      if (isNumberForm(c)) return {0.5, true};
      return {0.0, false};
    case Script::traditionalChinese:
      if (traditionalSet().contains(c)) return {1.0, true};
      if (isHan(c)) {
        if (code >= 0xA440 && code <= 0xC67E) return {0.4, true};  // Big5 level 1
        return {0.2, true};
      }
      return {0.0, false};
    case Script::korean:
      if (hangulSet().contains(c)) return {1.0, true};
      if (isHangul(c)) {
        if (isEucGrid && lead >= 0xB0 && lead <= 0xC8) return {0.4, true};  // KS X 1001
        return {0.15, true};
      }
      if (isHan(c)) return {0.1, true};  // hanja are rare in names
      return {0.0, false};
    case Script::alphabet:
      return {0.0, false};
  }
  return {0.0, false};
}

// cjkTally: the weights of the non-ASCII characters of `text`, decoded
// from `bytes` in the CJK code page `page`.
NameTally cjkTally(CodePage page, std::string_view bytes, std::string_view text) {
  NameTally tally;
  std::size_t halfWidthKana = 0;
  std::size_t at = 0;
  char32_t previous = 0;
  const auto isAsciiLetter = [](char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
  };
  for (const text::CodePoint cp : text::codePoints(text)) {
    const char32_t before = std::exchange(previous, cp.value);
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
    CjkWeight weight = cjkWeight(page, cp.value, code);
    // A character whose trail byte is an ASCII letter or digit that goes on
    // as an ASCII word ("±F06" read as "盕06") took that letter from it.
    if (length == 2 && isAsciiAlnum(static_cast<unsigned char>(bytes[at - 1])) &&
        at < bytes.size() && isAsciiAlnum(static_cast<unsigned char>(bytes[at]))) {
      weight = {-0.5, false};
    }
    // A hanzi glued to an ASCII letter ("尾eta") is rarer in names than a
    // Greek or accented Latin letter there.
    if (isHan(cp.value) &&
        (isAsciiLetter(before) ||
         (at < bytes.size() && isAsciiLetter(static_cast<unsigned char>(bytes[at]))))) {
      weight.weight *= 0.5;
    }
    tally.total += weight.weight;
    ++tally.count;
    tally.hasScriptLetter = tally.hasScriptLetter || weight.isLetter;
    if (scriptOf(page) == Script::japanese && isHalfWidthKana(cp.value)) ++halfWidthKana;
  }
  // Half-width katakana spell words (ﾃｽﾄ); one alone is any high byte.
  if (halfWidthKana >= 2) tally.hasScriptLetter = true;
  return tally;
}

// Letter scripts of the word rules.
enum class Alphabet { none, latin, greek, cyrillic, armenian, hebrew, arabic, other };

Alphabet alphabetOf(char32_t c) {
  if (c < 0xC0) return Alphabet::none;  // ª µ º are Latin-1 symbols here
  if ((c >= 0xC0 && c <= 0x24F && c != 0xD7 && c != 0xF7) || (c >= 0x1E00 && c <= 0x1EFF))
    return Alphabet::latin;
  if (c >= 0x370 && c <= 0x3FF) return Alphabet::greek;
  if (c >= 0x400 && c <= 0x52F) return Alphabet::cyrillic;
  if (c >= 0x531 && c <= 0x587) return Alphabet::armenian;
  if (c >= 0x5D0 && c <= 0x5EA) return Alphabet::hebrew;
  if ((c >= 0x620 && c <= 0x64A) || (c >= 0x671 && c <= 0x6D3)) return Alphabet::arabic;
  if (c >= 0x250 && c <= 0x2FF) return Alphabet::none;  // IPA and modifier letters
  return Alphabet::other;
}

bool isCombiningMark(char32_t c) {
  if (c < 0x300) return false;
  const auto type = static_cast<UCharCategory>(u_charType(static_cast<UChar32>(c)));
  return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK || type == U_ENCLOSING_MARK;
}

// canCarry: a combining mark `mark` may follow a letter of `alphabet`.
bool canCarry(Alphabet alphabet, char32_t mark, bool afterAsciiLetter) {
  if (mark >= 0x300 && mark <= 0x36F) {
    return afterAsciiLetter || alphabet == Alphabet::latin || alphabet == Alphabet::greek ||
           alphabet == Alphabet::cyrillic;
  }
  if (mark >= 0x483 && mark <= 0x489) return alphabet == Alphabet::cyrillic;
  if (mark >= 0x591 && mark <= 0x5C7) return alphabet == Alphabet::hebrew;
  if (mark >= 0x610 && mark <= 0x6ED) return alphabet == Alphabet::arabic;
  return alphabet == Alphabet::other;  // the vowel signs of Indic scripts, say
}

// kLoneLetter: a letter of an alphabet that is a word of its own ("Ω.txt",
// "ü.txt", "Ю.txt"). Against a GB 18030 reading of the same two bytes this
// decides a name that is one letter: one of the ~1,500 most common hanzi
// (1.0, "小.txt" = "С.txt", "录.txt" = "¼.txt") reads as GBK, for this
// product's users are sent GBK archives from Windows tools; a rarer hanzi
// (0.6: 惟 = Ω, 眉 = ü, 挟 = Ю, 渭 = μ) loses to the letter, as a UTF-8
// writer naming a file after one letter is at least as likely.
constexpr double kLoneLetter = 0.5;

bool isRussianLetter(char32_t c) { return (c >= 0x410 && c <= 0x44F) || c == 0x401 || c == 0x451; }

bool isRussianVowel(char32_t lower) {
  return std::u32string_view(U"аеёиоуыэюяіїє").find(lower) != std::u32string_view::npos;
}

// cyrillicWeight: a Cyrillic letter by its frequency in Russian text.
double cyrillicWeight(char32_t c) {
  const auto lower = static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
  if (kFrequentCyrillic.find(lower) != std::u32string_view::npos) return 1.0;
  if (kMiddleCyrillic.find(lower) != std::u32string_view::npos) return 0.8;
  if (lower == U'ё') return 0.1;  // rare, and what mis-read GBK full-width letters begin with
  if (lower >= 0x430 && lower <= 0x45F) return 0.5;
  return 0.1;  // historic and other languages' letters
}

// Word: facts about one run of letters.
struct Word {
  Alphabet alphabet = Alphabet::none;  ///< the script of its non-ASCII letters
  bool isMixed = false;                ///< non-ASCII letters of two scripts
  bool hasAsciiLetter = false;
  bool breaksCase = false;  ///< a lower-case letter followed by an upper-case one
  std::size_t letters = 0;  ///< non-ASCII letters
  std::size_t vowels = 0;   ///< Cyrillic vowels
};

Word wordOf(const std::u32string& chars, std::size_t start, std::size_t end) {
  Word word;
  bool previousIsLower = false;
  for (std::size_t k = start; k < end; ++k) {
    const char32_t c = chars[k];
    if (isCombiningMark(c)) continue;
    const auto u = static_cast<UChar32>(c);
    word.breaksCase = word.breaksCase || (previousIsLower && u_isupper(u) != 0);
    previousIsLower = u_islower(u) != 0;
    if (c < 0x80) {
      word.hasAsciiLetter = true;
      continue;
    }
    const Alphabet alphabet = alphabetOf(c);
    if (word.alphabet == Alphabet::none) {
      word.alphabet = alphabet;
    } else if (alphabet != word.alphabet) {
      word.isMixed = true;
    }
    ++word.letters;
    if (alphabet == Alphabet::cyrillic &&
        isRussianVowel(static_cast<char32_t>(u_tolower(static_cast<UChar32>(c))))) {
      ++word.vowels;
    }
  }
  return word;
}

// letterWeight: the weight of the non-ASCII letter `c` in `word`.
double letterWeight(char32_t c, const Word& word) {
  const bool isWord = word.letters >= 2;
  double weight = 0.0;
  switch (alphabetOf(c)) {
    case Alphabet::latin:
      if (c <= 0xFF) {
        weight = word.hasAsciiLetter ? 1.0 : kLoneLetter;
      } else if (c <= 0x17F || c >= 0x1E00) {
        weight = word.hasAsciiLetter ? 0.8 : 0.4;
      } else {
        weight = word.hasAsciiLetter ? 0.2 : 0.1;  // Latin Extended-B
      }
      break;
    case Alphabet::greek:
      if (!isBasicGreek(c)) return 0.0;
      if (isWord) {
        weight = word.hasAsciiLetter ? 0.3 : 1.0;
      } else {
        // One letter: "βeta", "Δx" beside ASCII letters; a name that is
        // only "Ω" weighs as much as a lone letter of another alphabet.
        weight = word.hasAsciiLetter ? 0.8 : kLoneLetter;
      }
      break;
    case Alphabet::cyrillic:
      weight = cyrillicWeight(c);
      if (!isWord) weight = isRussianLetter(c) && !word.hasAsciiLetter ? kLoneLetter : weight * 0.3;
      if (word.letters == 2) weight *= 0.6;
      if (word.hasAsciiLetter) weight *= 0.3;
      if (word.breaksCase) weight *= 0.5;
      // Russian words of three letters and more hold vowels, about two in five.
      if (word.letters >= 3 &&
          (word.vowels * 6 < word.letters || word.vowels * 5 > word.letters * 4))
        weight *= 0.3;
      break;
    case Alphabet::hebrew:
    case Alphabet::arabic:
      weight = isWord ? 0.8 : 0.2;
      break;
    case Alphabet::armenian:
      weight = word.letters >= 3 ? 0.5 : 0.1;
      break;
    case Alphabet::other:
      weight = isWord ? 0.6 : 0.1;
      break;
    case Alphabet::none:
      return 0.0;
  }
  return word.isMixed ? weight * 0.2 : weight;
}

// isTextSymbol: a symbol or punctuation mark people type into names beside
// ASCII text: Latin-1's (½ µ ° © ±), dashes, quotes, the ellipsis, bullets,
// per mille, currency signs, ℃ № ™.
bool isTextSymbol(char32_t c) {
  return (c >= 0xA1 && c <= 0xBF) || c == 0xD7 || c == 0xF7 || (c >= 0x2010 && c <= 0x2027) ||
         (c >= 0x2030 && c <= 0x203A) || (c >= 0x20A0 && c <= 0x20BF) || c == 0x2103 ||
         c == 0x2116 || c == 0x2122;
}

// isNearAsciiText: the characters before `start` or from `end` on are ASCII
// text: a letter or digit right there ("±5", "2023—2024", "notes…txt"), or
// a word of two or more behind one space or hyphen ("½ price", "µ-controller").
bool isNearAsciiText(const std::u32string& chars, std::size_t start, std::size_t end) {
  if ((start > 0 && isAsciiAlnum(chars[start - 1])) ||
      (end < chars.size() && isAsciiAlnum(chars[end]))) {
    return true;
  }
  const auto isJoiner = [](char32_t c) { return c == U' ' || c == U'-'; };
  if (start >= 3 && isJoiner(chars[start - 1]) && isAsciiAlnum(chars[start - 2]) &&
      isAsciiAlnum(chars[start - 3])) {
    return true;
  }
  return end + 2 < chars.size() && isJoiner(chars[end]) && isAsciiAlnum(chars[end + 1]) &&
         isAsciiAlnum(chars[end + 2]);
}

// unicodeTally: the weights of the non-ASCII characters of `text` read as
// Unicode text of any script, word by word. `allowsIdeographs`: CJK
// characters count (a UTF-8 reading); the alphabetic code pages yield none.
NameTally unicodeTally(std::string_view text) {
  std::u32string chars;
  for (const text::CodePoint cp : text::codePoints(text)) chars.push_back(cp.value);
  NameTally tally;
  const auto add = [&](double weight, bool isLetter) {
    tally.total += weight;
    ++tally.count;
    tally.hasScriptLetter = tally.hasScriptLetter || (isLetter && weight > 0);
  };
  std::size_t start = 0;
  while (start < chars.size()) {
    const char32_t first = chars[start];
    const bool isLetter = u_isalpha(static_cast<UChar32>(first)) != 0 && !isHan(first) &&
                          !isKana(first) && !isHangul(first) && alphabetOf(first) != Alphabet::none;
    const bool isAsciiLetter = first < 0x80 && u_isalpha(static_cast<UChar32>(first)) != 0;
    if (!isLetter && !isAsciiLetter) {
      if (first >= 0x80) {
        if (isHan(first)) {
          const bool isCommon = simplifiedSet().contains(first) ||
                                traditionalSet().contains(first) || kanjiSet().contains(first);
          add(isCommon ? 1.0 : first >= 0x4E00 ? 0.5 : 0.2, true);
        } else if (isKana(first)) {
          add(1.0, true);
        } else if (isHangul(first)) {
          add(hangulSet().contains(first) ? 1.0 : 0.5, true);
        } else if (isHalfWidthKana(first) || isFullWidthAlnum(first)) {
          add(0.5, true);
        } else if (isFullWidthPunctuation(first)) {
          add(0.5, false);
        } else if (isEmoji(first)) {
          add(0.5, true);
        } else if (isBoxDrawing(first) || isControlOrPrivate(first)) {
          add(-0.5, false);
        } else if (isCombiningMark(first)) {
          add(-0.3, false);  // a mark on nothing it can combine with
        } else if (isNumberForm(first) || (first >= 0x2150 && first <= 0x215F)) {
          add(0.8, true);  // ① Ⅱ ⅓: numbering people type
        } else if (isTextSymbol(first)) {
          // Symbols beside ASCII text ("±5", "©2020", "2023—2024", "½ price",
          // "3±±±F06") are text; the mis-read bytes of other code pages are
          // symbols among letters of their own, or alone.
          std::size_t end = start;
          while (end < chars.size() && isTextSymbol(chars[end])) ++end;
          const bool isText = isNearAsciiText(chars, start, end);
          for (std::size_t k = start; k < end; ++k) add(isText ? 0.9 : 0.0, isText);
          start = end;
          continue;
        } else {
          add(0.0, false);
        }
      }
      ++start;
      continue;
    }
    // A word: letters of alphabets, ASCII letters, and the marks on them.
    std::size_t end = start;
    while (end < chars.size()) {
      const char32_t c = chars[end];
      const bool isAlpha = u_isalpha(static_cast<UChar32>(c)) != 0 && !isHan(c) && !isKana(c) &&
                           !isHangul(c) && (c < 0x80 || alphabetOf(c) != Alphabet::none);
      if (!isAlpha && !(isCombiningMark(c) && end > start)) break;
      ++end;
    }
    const Word word = wordOf(chars, start, end);
    Alphabet previous = Alphabet::none;
    bool previousIsAscii = false;
    for (std::size_t k = start; k < end; ++k) {
      const char32_t c = chars[k];
      if (isCombiningMark(c)) {
        add(canCarry(previous, c, previousIsAscii) ? (word.isMixed ? 0.2 : 1.0) : -0.3, false);
        continue;
      }
      previousIsAscii = c < 0x80;
      previous = alphabetOf(c);
      if (c < 0x80) continue;
      const double weight = letterWeight(c, word);
      add(weight, true);
    }
    start = end;
  }
  return tally;
}

}  // namespace

NameScorer::NameScorer() = default;
NameScorer::~NameScorer() = default;

text::CodePageConverter& NameScorer::converter(CodePage page) {
  const auto index = static_cast<std::size_t>(page);
  if (!mConverters[index]) mConverters[index] = std::make_unique<text::CodePageConverter>(page);
  return *mConverters[index];
}

std::optional<std::string> NameScorer::decode(CodePage page, std::string_view bytes) {
  return converter(page).decode(bytes);
}

std::optional<NameTally> NameScorer::legacy(CodePage page, std::string_view bytes,
                                            std::string* decoded) {
  std::optional<std::string> text = converter(page).decode(bytes);
  if (!text) return std::nullopt;
  NameTally tally =
      scriptOf(page) == Script::alphabet ? unicodeTally(*text) : cjkTally(page, bytes, *text);
  if (decoded != nullptr) *decoded = std::move(*text);
  return tally;
}

NameTally NameScorer::utf8(std::string_view text) const { return unicodeTally(text); }

}  // namespace vexel::readers_internal
