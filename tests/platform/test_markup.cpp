#include <QStringDecoder>
#include <QTest>
#include <algorithm>
#include <ctime>

#include "platform/markup.h"

using velmoth::document_outer_html;
using velmoth::outer_html_of;

namespace {

// CPU time bound for the hostile pages: well above what they take (well under a second in a
// RelWithDebInfo build), far below what the parser's quadratic behaviour costs (minutes).
// Sanitizer builds run several times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kHostileSeconds = 10;
#else
constexpr double kHostileSeconds = 2;
#endif

// The serialized page around a body's content, for pages with an empty head.
QString page(const QString &body_content) {
  return QStringLiteral("<HTML><HEAD></HEAD>\r\n<BODY>") + body_content +
         QStringLiteral("</BODY></HTML>");
}

// Greatest element nesting in serialized markup (void elements and raw text taken into
// account well enough for the pages built by these tests).
int nesting_depth(const QString &html) {
  static const QStringList void_names = {QStringLiteral("BR"), QStringLiteral("IMG"),
                                         QStringLiteral("HR"), QStringLiteral("INPUT")};
  int depth = 0;
  int deepest = 0;
  qsizetype pos = 0;
  while ((pos = html.indexOf(u'<', pos)) >= 0) {
    const bool end_tag = pos + 1 < html.size() && html[pos + 1] == u'/';
    qsizetype name_end = pos + (end_tag ? 2 : 1);
    while (name_end < html.size() && html[name_end].isLetterOrNumber()) ++name_end;
    const QString name = html.mid(pos + (end_tag ? 2 : 1), name_end - pos - (end_tag ? 2 : 1));
    if (!name.isEmpty() && !void_names.contains(name)) {
      depth += end_tag ? -1 : 1;
      deepest = std::max(deepest, depth);
    }
    pos = name_end;
  }
  return deepest;
}

}  // namespace

class TestMarkup : public QObject {
  Q_OBJECT

 private slots:
  void serializes_typical_pages_data();
  void serializes_typical_pages();
  void decodes_by_charset_data();
  void decodes_by_charset();
  void survives_hostile_pages_data();
  void survives_hostile_pages();
  void keeps_text_after_oversized_references_data();
  void keeps_text_after_oversized_references();
  void does_not_abort_on_foreign_table_content_data();
  void does_not_abort_on_foreign_table_content();
  void limits_nesting_without_losing_text();
  void end_tags_past_the_limit_close_the_right_elements();
  void raw_text_is_left_intact_past_the_limit();
  void leaves_ordinary_deep_pages_alone();
  void flattens_pages_whose_parse_runs_out_of_budget_data();
  void flattens_pages_whose_parse_runs_out_of_budget();
  void flattened_hostile_page_is_flat();
  void decodes_with_system_codecs();
  void accepts_text_with_nul_and_lone_surrogates();
};

void TestMarkup::serializes_typical_pages_data() {
  QTest::addColumn<QString>("input");
  QTest::addColumn<QString>("expected");

  QTest::newRow("plain text") << "1" << page("1");
  QTest::newRow("full document") << "<html><head></head><body>1</body></html>" << page("1");
  QTest::newRow("doctype dropped, title kept")
      << "<!DOCTYPE html><html><head><title>T &amp; U</title></head><body>x</body></html>"
      << "<HTML><HEAD><TITLE>T &amp; U</TITLE></HEAD>\r\n<BODY>x</BODY></HTML>";
  QTest::newRow("simple attribute") << "<body class=x>1</body>"
                                    << "<HTML><HEAD></HEAD>\r\n<BODY class=x>1</BODY></HTML>";
  QTest::newRow("attribute values needing quotes")
      << R"(<p a="two words" b="" c='say "hi" & go' d=#a.b_c-1 e=x/y f>t</p>)"
      << page(
             R"(<P a="two words" b="" c="say &quot;hi&quot; &amp; go" d=#a.b_c-1 e="x/y" f="">t</P>)");
  QTest::newRow("attribute names as the parser gives them")
      << "<DIV ID=a onClick=go>x</DIV>" << page("<DIV id=a onclick=go>x</DIV>");
  QTest::newRow("non-ascii attribute value quoted")
      << "<p title=\xE4\xB8\xAD>x</p>"
      << page(QString::fromUtf8("<P title=\"\xE4\xB8\xAD\">x</P>"));
  QTest::newRow("comment") << "a<!-- note -->b" << page("a<!-- note -->b");
  QTest::newRow("script and style stay raw")
      << "<script>if (a < b && c > d) x = '&amp;';</script><style>p > a { }</style>"
      << "<HTML><HEAD><SCRIPT>if (a < b && c > d) x = '&amp;';</SCRIPT>"
         "<STYLE>p > a { }</STYLE></HEAD>\r\n<BODY></BODY></HTML>";
  QTest::newRow("xmp stays raw") << "<xmp><b>&</b></xmp>" << page("<XMP><b>&</b></XMP>");
  QTest::newRow("textarea is escaped")
      << "<textarea><b>&</b></textarea>" << page("<TEXTAREA>&lt;b&gt;&amp;&lt;/b&gt;</TEXTAREA>");
  QTest::newRow("void elements") << "a<br>b<img src=i.png><hr/><input type=text><wbr>"
                                 << page("a<BR>b<IMG src=i.png><HR><INPUT type=text><WBR>");
  QTest::newRow("entities") << "&amp; &lt;tag&gt; &copy; &#65;&#x42; &nbsp;x"
                            << page(QString::fromUtf8("&amp; &lt;tag&gt; \xC2\xA9 AB \xC2\xA0x"));
  QTest::newRow("bare ampersand and angle brackets")
      << "a & b < c > d" << page("a &amp; b &lt; c &gt; d");
  QTest::newRow("chinese text") << QString::fromUtf8("<p>\xE4\xB8\xAD\xE6\x96\x87</p>")
                                << page(QString::fromUtf8("<P>\xE4\xB8\xAD\xE6\x96\x87</P>"));
  QTest::newRow("CR LF and CR in text become LF") << "a\r\nb\rc" << page("a\nb\nc");
  QTest::newRow("whitespace nodes kept")
      << "<html>\n<head>\n</head>\n<body>\n<p>x</p>\n</body>\n</html>\n"
      << "<HTML><HEAD>\n</HEAD>\n\r\n<BODY>\n<P>x</P>\n\n\n</BODY></HTML>";
  QTest::newRow("implied elements")
      << "<table><td>1</table>" << page("<TABLE><TBODY><TR><TD>1</TD></TR></TBODY></TABLE>");
  QTest::newRow("unknown element upper-cased")
      << "<my-Widget x=1>y</my-widget>" << page("<MY-WIDGET x=1>y</MY-WIDGET>");
  QTest::newRow("svg children")
      << "<svg viewBox=\"0 0 1 1\"><linearGradient/><circle r=1></circle></svg>"
      << page(
             "<SVG viewBox=\"0 0 1 1\"><LINEARGRADIENT></LINEARGRADIENT>"
             "<CIRCLE r=1></CIRCLE></SVG>");
  QTest::newRow("template contents") << "<template><p>x</p></template>"
                                     << "<HTML><HEAD><TEMPLATE><P>x</P></TEMPLATE></HEAD>\r\n"
                                        "<BODY></BODY></HTML>";
  QTest::newRow("frameset has no CR LF")
      << "<frameset><frame src=a></frameset>"
      << "<HTML><HEAD></HEAD><FRAMESET><FRAME src=a></FRAMESET></HTML>";
  QTest::newRow("empty page") << "" << page("");
  QTest::newRow("misnested formatting") << "<b><i>x</b>y</i>" << page("<B><I>x</I></B><I>y</I>");
  QTest::newRow("comment with dashes") << "x<!-- a -- b -->" << page("x<!-- a -- b -->");
  QTest::newRow("raw control characters")
      << QStringLiteral("a\u0001b\u007Fc\u0085d") << page(QStringLiteral("a\uFFFDb\uFFFDc\uFFFDd"));
  QTest::newRow("tab in attribute value")
      << "<p title=\"a\tb\">x</p>" << page("<P title=\"a\tb\">x</P>");
  QTest::newRow("plaintext stays raw") << "<plaintext><b>&" << page("<PLAINTEXT><b>&</PLAINTEXT>");
  QTest::newRow("noscript text is written as it is")
      << "<p>a<noscript>1 &lt; 2</noscript>" << page("<P>a<NOSCRIPT>1 < 2</NOSCRIPT></P>");
  QTest::newRow("NUL in an unknown tag name")
      << QStringLiteral("<svg><a\u0000b>x</svg>")
      << page(QStringLiteral("<SVG><A\uFFFDB>x</A\uFFFDB></SVG>"));
  QTest::newRow("table parts inside svg keep their names")
      << "<svg><td>1</td></svg><table><tr><td>2</td></tr></table>"
      << page("<SVG><TD>1</TD></SVG><TABLE><TBODY><TR><TD>2</TD></TR></TBODY></TABLE>");
  QTest::newRow("CDATA in svg") << "<svg><![CDATA[a<b&c]]></svg>"
                                << page("<SVG>a&lt;b&amp;c</SVG>");
}

void TestMarkup::serializes_typical_pages() {
  QFETCH(QString, input);
  QFETCH(QString, expected);
  QCOMPARE(outer_html_of(input), expected);
  QCOMPARE(document_outer_html(input.toUtf8(), "text/html"), expected);
}

void TestMarkup::decodes_by_charset_data() {
  QTest::addColumn<QByteArray>("body");
  QTest::addColumn<QByteArray>("content_type");
  QTest::addColumn<QString>("expected_body");

  const QString e_acute = QString(QChar(0xE9));
  QTest::newRow("header latin-1") << QByteArray("caf\xE9")
                                  << QByteArray("text/html; charset=ISO-8859-1") << "caf" + e_acute;
  QTest::newRow("header quoted, odd case")
      << QByteArray("caf\xE9") << QByteArray("text/html;Charset=\"latin1\"") << "caf" + e_acute;
  QTest::newRow("latin-1 label means windows-1252")
      << QByteArray("\x93q\x94 \x80") << QByteArray("text/html; charset=iso-8859-1")
      << QString::fromUtf8("\xE2\x80\x9Cq\xE2\x80\x9D \xE2\x82\xAC");
  QTest::newRow("header beats meta") << QByteArray("<meta charset=utf-8>caf\xE9")
                                     << QByteArray("text/html; charset=latin1") << "caf" + e_acute;
  QTest::newRow("meta charset") << QByteArray("<meta charset=\"windows-1252\"><p>caf\xE9")
                                << QByteArray("text/html") << "<P>caf" + e_acute + "</P>";
  QTest::newRow("meta http-equiv")
      << QByteArray(
             "<!-- <meta charset=utf-8> --><meta http-equiv=Content-Type "
             "content='text/html; charset=iso-8859-1'>caf\xE9")
      << QByteArray() << "caf" + e_acute;
  QTest::newRow("meta claiming utf-16 means utf-8")
      << QByteArray("<meta charset=utf-16>caf\xC3\xA9") << QByteArray() << "caf" + e_acute;
  QTest::newRow("utf-8 by default") << QByteArray("caf\xC3\xA9") << QByteArray() << "caf" + e_acute;
  QTest::newRow("unknown header charset falls back to utf-8")
      << QByteArray("caf\xC3\xA9 \xFF") << QByteArray("text/html; charset=no-such-charset")
      << "caf" + e_acute + QStringLiteral(" \uFFFD");
  QTest::newRow("utf-7 refused") << QByteArray("+ADw-b+AD4-")
                                 << QByteArray("text/html; charset=utf-7")
                                 << QStringLiteral("+ADw-b+AD4-");
  QTest::newRow("invalid utf-8") << QByteArray("a\xC3(b\x80") << QByteArray()
                                 << QStringLiteral("a\uFFFD(b\uFFFD");
  QTest::newRow("utf-8 cut off at the end")
      << QByteArray("ab\xE4") << QByteArray() << QStringLiteral("ab\uFFFD");
  QTest::newRow("utf-16 cut off at the end")
      << QByteArray("\xFF\xFEh\0i", 5) << QByteArray() << QStringLiteral("h\uFFFD");
  QTest::newRow("utf-8 bom dropped") << QByteArray("\xEF\xBB\xBFx") << QByteArray() << "x";
  QTest::newRow("bom beats header")
      << QByteArray("\xEF\xBB\xBF\xC3\xA9") << QByteArray("text/html; charset=latin1") << e_acute;
  QTest::newRow("utf-16le bom") << QByteArray("\xFF\xFEh\0i\0", 6) << QByteArray() << "hi";
  QTest::newRow("utf-16 header") << QByteArray("\0h\0i", 4)
                                 << QByteArray("text/html; charset=utf-16be") << "hi";
  QTest::newRow("meta past the first 1024 bytes ignored")
      << QByteArray(1100, ' ') + "<meta charset=latin1>caf\xE9" << QByteArray()
      << QStringLiteral("caf\uFFFD");
  QTest::newRow("meta without a charset, then one with")
      << QByteArray(
             "<meta name=x content=y><meta content=\"text/html;charset='latin1'\" "
             "http-equiv=\"content-type\">\xE9")
      << QByteArray() << e_acute;
  QTest::newRow("unknown meta charset, then a known one")
      << QByteArray("<meta charset=bogus><meta charset=latin1>\xE9") << QByteArray() << e_acute;
  QTest::newRow("locale is not a page charset")
      << QByteArray("caf\xC3\xA9") << QByteArray("text/html; charset=locale") << "caf" + e_acute;
  QTest::newRow("empty header charset")
      << QByteArray("caf\xC3\xA9") << QByteArray("text/html; charset=") << "caf" + e_acute;
}

void TestMarkup::decodes_by_charset() {
  QFETCH(QByteArray, body);
  QFETCH(QByteArray, content_type);
  QFETCH(QString, expected_body);
  const QString html = document_outer_html(body, content_type);
  const QString body_start = QStringLiteral("<BODY>");
  const qsizetype start = html.indexOf(body_start) + body_start.size();
  QCOMPARE(html.mid(start, html.lastIndexOf(QStringLiteral("</BODY>")) - start), expected_body);
}

void TestMarkup::survives_hostile_pages_data() {
  QTest::addColumn<QByteArray>("body");
  QTest::addColumn<int>("max_depth");

  QTest::newRow("300,000 nested div") << QByteArray("<div>").repeated(300000) + "x" << 520;
  QTest::newRow("100,000 unclosed div") << QByteArray("<div>x").repeated(100000) << 520;
  QTest::newRow("100,000 unclosed span") << QByteArray("<span>").repeated(100000) << 520;
  QTest::newRow("100,000 unclosed b") << QByteArray("<b>x").repeated(100000) << 520;
  QTest::newRow("100,000 unclosed ul") << QByteArray("<ul>").repeated(100000) << 520;
  QTest::newRow("60 KB of unclosed div") << QByteArray("<div>").repeated(12000) << 520;
  QTest::newRow("60 KB of unclosed font") << QByteArray("<font color=red>").repeated(3750) << 520;
  QTest::newRow("deep span, then many div")
      << QByteArray("<span>").repeated(100000) + QByteArray("<div></div>").repeated(50000) << 520;
  QTest::newRow("deep span, then unmatched end tags")
      << QByteArray("<span>").repeated(100000) + QByteArray("</zz>").repeated(100000) << 520;
  QTest::newRow("nested tables") << QByteArray("<table><tr><td>").repeated(30000) << 1600;
  QTest::newRow("nested svg") << QByteArray("<svg><g>").repeated(50000) << 520;
  QTest::newRow("svg hiding divs")
      << QByteArray("<svg><style>") + QByteArray("<div>").repeated(100000) << 520;
  QTest::newRow("formatting reopened across paragraphs") << [] {
    QByteArray page;
    for (int i = 0; i < 20000; ++i) page += "<p><b id=" + QByteArray::number(i) + "></p>x";
    return page;
  }() << 520;
  // Patterns where the parser keeps reopening formatting elements or has left a select that
  // the page does not close; each once got deep past the nesting limit.
  QTest::newRow("formatting reopened below a closed one")
      << QByteArray("<font><ruby></em><em><i><i>").repeated(20000) << 520;
  QTest::newRow("ruby text ends the open term")
      << QByteArray("<x><ruby></b></tbody><dt><rt>").repeated(20000) << 520;
  QTest::newRow("tables after a select")
      << QByteArray("<select><option><colgroup><table><th><span>").repeated(20000) << 700;
  QTest::newRow("NUL bytes") << QByteArray("a\0b<p\0q>c\0</p><script>\0</script>", 33) << 10;
  QTest::newRow("unterminated constructs") << QByteArray("<p a=\"x><!-- <script>") << 10;
}

void TestMarkup::survives_hostile_pages() {
  QFETCH(QByteArray, body);
  QFETCH(int, max_depth);
  const std::clock_t start = std::clock();
  const QString html = document_outer_html(body, "text/html");
  const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
  QVERIFY2(seconds < kHostileSeconds, qPrintable(QStringLiteral("took %1 s").arg(seconds)));
  QVERIFY(html.startsWith(QStringLiteral("<HTML>")));
  QVERIFY(html.endsWith(QStringLiteral("</HTML>")));
  QVERIFY(!html.contains(QChar(0)));
  QVERIFY2(nesting_depth(html) <= max_depth, qPrintable(QString::number(nesting_depth(html))));
}

void TestMarkup::keeps_text_after_oversized_references_data() {
  QTest::addColumn<QString>("input");
  QTest::addColumn<QString>("expected_body");

  QTest::newRow("decimal") << "a&#3000000000;rest" << QStringLiteral("a\uFFFDrest");
  QTest::newRow("wraps to NUL") << "a&#4294967296;rest" << QStringLiteral("a\uFFFDrest");
  QTest::newRow("wraps to a control") << "a&#4294967297;rest" << QStringLiteral("a\uFFFDrest");
  QTest::newRow("hex, no semicolon") << "a&#x110000 rest" << QStringLiteral("a\uFFFD rest");
  QTest::newRow("very long") << "a&#" + QString(5000, u'9') + ";rest"
                             << QStringLiteral("a\uFFFDrest");
  QTest::newRow("in an attribute")
      << "<p title=\"&#99999999999;z\">rest</p>" << QStringLiteral("<P title=\"\uFFFDz\">rest</P>");
  QTest::newRow("largest valid stays")
      << "a&#x10FFFF;b&#1114111;c" << QString::fromUcs4(U"a\U0010FFFFb\U0010FFFFc");
  QTest::newRow("zero and controls")
      << "a&#0;b&#1;c&#x81;d" << QStringLiteral("a\uFFFDb\uFFFDc\uFFFDd");
  QTest::newRow("not references") << "&#; &#x; &#xg; &#"
                                  << "&amp;#; &amp;#x; &amp;#xg; &amp;#";
}

void TestMarkup::keeps_text_after_oversized_references() {
  QFETCH(QString, input);
  QFETCH(QString, expected_body);
  const QString html = outer_html_of(input);
  QCOMPARE(html, page(expected_body));
  QVERIFY(!html.contains(QChar(0)));
}

void TestMarkup::limits_nesting_without_losing_text() {
  QByteArray body;
  for (int i = 0; i < 2000; ++i)
    body += "<div id=d" + QByteArray::number(i) + ">" + QByteArray::number(i) + " ";
  const QString html = document_outer_html(body, "text/html");
  QCOMPARE(html.count(QStringLiteral("<DIV ")), 2000);
  QCOMPARE(html.count(QStringLiteral("</DIV>")), 2000);
  for (int i : {0, 511, 512, 1999}) QVERIFY(html.contains(QStringLiteral(">%1 ").arg(i)));
  QVERIFY(nesting_depth(html) <= 520);
}

void TestMarkup::leaves_ordinary_deep_pages_alone() {
  // Long runs of elements whose end tags are left out are not deep: each closes the previous.
  QByteArray body = "<ul>";
  for (int i = 0; i < 3000; ++i)
    body += "<li><p>item " + QByteArray::number(i) + "<a href=#" + QByteArray::number(i) + ">l</a>";
  body += "</ul><table>";
  for (int i = 0; i < 3000; ++i)
    body += "<tr><td><font face=arial>" + QByteArray::number(i) + "<td>x";
  body += "</table><select>";
  for (int i = 0; i < 3000; ++i) body += "<option>o" + QByteArray::number(i);
  body += "</select>";
  for (int i = 0; i < 3000; ++i) body += "<p><b>bold</p>";
  body += QByteArray("<div>").repeated(400) + "deep" + QByteArray("</div>").repeated(400);

  const QString html = document_outer_html(body, "text/html");
  const QString item = QStringLiteral("<LI><P>item 2999<A href=#2999>l</A></P></LI>");
  QVERIFY(html.contains(item));
  QVERIFY(
      html.contains(QStringLiteral("<TR><TD><FONT face=arial>2999</FONT></TD><TD>x</TD></TR>")));
  QVERIFY(html.contains(QStringLiteral("<OPTION>o2999</OPTION></SELECT>")));
  // The parser reopens the (at most three identical) bold elements left open by the paragraphs.
  QVERIFY(html.contains(QStringLiteral("<DIV>").repeated(400) + "<B><B><B>deep</B></B></B>" +
                        QStringLiteral("</DIV>").repeated(400)));
}

void TestMarkup::does_not_abort_on_foreign_table_content_data() {
  // Each of these made the parser fail an assertion (and abort the program) when parsed as it
  // is: SVG/MathML elements named like table parts or select confuse its insertion mode, and
  // CDATA sections at integration points trip its table text handling.
  QTest::addColumn<QString>("input");
  QTest::addColumn<QString>("expected_body");

  QTest::newRow("svg td, desc, select, end of table")
      << "<table><svg><td><desc><select></table>x"
      << "<SVG><TD><DESC><SELECT></SELECT></DESC></TD></SVG><TABLE></TABLE>x";
  QTest::newRow("CDATA in svg title in table")
      << "<table><svg><title><![CDATA[a<b&c]]>t"
      << "<SVG><TITLE>a&lt;b&amp;ct</TITLE></SVG><TABLE></TABLE>";
  const char *const others[] = {
      "<table><math><mi><![CDATA[x]]>t",
      "<table><svg><select><foreignObject><select><td>",
      "<template><td><caption><svg><foreignObject><colgroup><![CDATA[x]]>t",
      "<table><desc><math><annotation-xml></desc><mi><![CDATA[x]]>t",
      "<table><math><svg><mi></svg><select><mi><select><td>",
      "<table><select><svg><title><table><style><tr></style><math></tbody><td><mi><select></table>",
      "<template><table><select></template><style><select></style><svg></table><tr><foreignObject "
      "encoding=text/html><table></table><th></th><svg><title><select><th></body>",
      "<table><td><svg><title encoding=text/html/><caption><svg></td><select><foreignObject>"
      "<table><table encoding=text/html>",
      "<table><th><select><th><colgroup></select><svg><foreignObject></th><![CDATA[x]]>t",
      "<table><select><th><select><title><th><colgroup><svg><foreignObject><![CDATA[x]]>t",
      "<table><td><svg></tbody><math><foreignObject><td><mi><select></table>",
      "<b><math></b><title><mi><style></title><table><svg><select><foreignObject><template>"
      "</template><table>",
  };
  for (const char *input : others) QTest::newRow(input) << QString::fromLatin1(input) << QString();
}

void TestMarkup::does_not_abort_on_foreign_table_content() {
  QFETCH(QString, input);
  QFETCH(QString, expected_body);
  const QString html = outer_html_of(input);
  QVERIFY(html.startsWith(QStringLiteral("<HTML>")));
  QVERIFY(!html.contains(QChar(0)));
  if (!expected_body.isEmpty()) QCOMPARE(html, page(expected_body));
}

void TestMarkup::end_tags_past_the_limit_close_the_right_elements() {
  const QByteArray body =
      QByteArray("<div>").repeated(600) + "in" + QByteArray("</div>").repeated(600) + "after";
  const QString html = document_outer_html(body, "text/html");
  QVERIFY(html.endsWith(QStringLiteral("</DIV>after</BODY></HTML>")));
  QCOMPARE(html.count(QStringLiteral("<DIV>")), 600);
  QCOMPARE(html.count(QStringLiteral("</DIV>")), 600);
  QVERIFY(nesting_depth(html) <= 520);
}

void TestMarkup::raw_text_is_left_intact_past_the_limit() {
  const QByteArray script = "<script>if (a<b) s = '<div><span>&#3000000000;';</script>";
  const QByteArray body = QByteArray("<span>").repeated(700) + script + "<textarea><b></textarea>";
  const QString html = document_outer_html(body, "text/html");
  QVERIFY(html.contains(QStringLiteral("<SCRIPT>if (a<b) s = '<div><span>\uFFFD';</SCRIPT>")));
  QVERIFY(html.contains(QStringLiteral("<TEXTAREA>&lt;b&gt;</TEXTAREA>")));
}

void TestMarkup::flattens_pages_whose_parse_runs_out_of_budget_data() {
  QTest::addColumn<QString>("input");
  QTest::addColumn<QString>("expected_body");

  // The page's own end tags then close nothing but make the empty <P> a stray </p> makes.
  QTest::newRow("typical") << "<div id=a><p>one <b>two</b></p>three</div>"
                           << "<DIV id=a></DIV><P></P>one <B></B>two<P></P>three";
  QTest::newRow("raw text kept")
      << "x<script>a<b</script><style>p>a{}</style><textarea><i></textarea>"
      << "x<SCRIPT>a<b</SCRIPT><STYLE>p>a{}</STYLE>"
         "<TEXTAREA>&lt;i&gt;</TEXTAREA>";
  QTest::newRow("svg table parts") << "<table><svg><td><desc><select></table>x"
                                   << "<TABLE></TABLE><SVG></SVG><DESC></DESC><SELECT></SELECT>x";
}

void TestMarkup::flattens_pages_whose_parse_runs_out_of_budget() {
  QFETCH(QString, input);
  QFETCH(QString, expected_body);
  using velmoth::markup_internal::outer_html_of;
  QCOMPARE(outer_html_of(input, 60, 0), page(expected_body));                     // memory spent
  QCOMPARE(outer_html_of(input, -1, std::size_t(1) << 40), page(expected_body));  // time spent
  QCOMPARE(outer_html_of(input, 60, std::size_t(1) << 40), velmoth::outer_html_of(input));
}

void TestMarkup::flattened_hostile_page_is_flat() {
  const QString body = QStringLiteral("<div><b>").repeated(100000) + QStringLiteral("x");
  const std::clock_t start = std::clock();
  const QString html = velmoth::markup_internal::outer_html_of(body, 60, 0);
  QVERIFY(double(std::clock() - start) / CLOCKS_PER_SEC < kHostileSeconds);
  QVERIFY(nesting_depth(html) <= 3);
  QVERIFY(html.endsWith(QStringLiteral("<DIV></DIV><B></B>x</BODY></HTML>")));
}

void TestMarkup::decodes_with_system_codecs() {
  if (!QStringDecoder("Shift_JIS").isValid()) QSKIP("this Qt has no Shift_JIS codec");
  QCOMPARE(document_outer_html("<p>\x82\xA0", "text/html; charset=Shift_JIS"),
           page(QStringLiteral("<P>\u3042</P>")));
}

void TestMarkup::accepts_text_with_nul_and_lone_surrogates() {
  QString text = QStringLiteral("a");
  text += QChar(0);
  text += QChar(0xD800);
  text += QStringLiteral("b<p>c");
  const QString html = outer_html_of(text);
  QVERIFY(!html.contains(QChar(0)));
  QVERIFY(html.startsWith(QStringLiteral("<HTML><HEAD></HEAD>\r\n<BODY>a")));
  QVERIFY(html.endsWith(QStringLiteral("b<P>c</P></BODY></HTML>")));
}

QTEST_GUILESS_MAIN(TestMarkup)

#include "test_markup.moc"
