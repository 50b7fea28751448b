#include <QTest>
#include <string_view>

#include "page/page_markup.h"

namespace {

QString document_outer_html(const QByteArray &body, const QByteArray &content_type) {
  return QString::fromStdString(velmoth::page_markup(
      std::string_view(body.constData(), std::size_t(body.size())),
      std::string_view(content_type.constData(), std::size_t(content_type.size()))));
}

QString outer_html_of(const QString &text) { return document_outer_html(text.toUtf8(), {}); }

// The serialized page around a body's content, for pages with an empty head.
QString page(const QString &body_content) {
  return QStringLiteral("<HTML><HEAD></HEAD>\r\n<BODY>") + body_content +
         QStringLiteral("</BODY></HTML>");
}

}  // namespace

class TestMarkup : public QObject {
  Q_OBJECT

 private slots:
  void serializes_typical_pages_data();
  void serializes_typical_pages();
  void decodes_by_charset_data();
  void decodes_by_charset();
  void keeps_text_after_oversized_references_data();
  void keeps_text_after_oversized_references();
  void leaves_ordinary_deep_pages_alone();
  void decodes_with_icu_converters();
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
  QTest::newRow("utf-7 by another name refused")
      << QByteArray("+ADw-b+AD4-") << QByteArray("text/html; charset=unicode-1-1-utf-7")
      << QStringLiteral("+ADw-b+AD4-");
  QTest::newRow("mailbox utf-7 refused")
      << QByteArray("&ADw-b&AD4-") << QByteArray("text/html; charset=imap-mailbox-name")
      << QStringLiteral("&amp;ADw-b&amp;AD4-");
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
  QTest::newRow("unpaired utf-16 surrogate")
      << QByteArray("\xFF\xFE\0\xD8h\0", 6) << QByteArray() << QStringLiteral("\uFFFDh");
  QTest::newRow("utf-32 header") << QByteArray("h\0\0\0i\0\0\0", 8)
                                 << QByteArray("text/html; charset=utf-32le") << "hi";
  QTest::newRow("gbk cut off at the end")
      << QByteArray("\xC4\xE3\xC4") << QByteArray("text/html; charset=gbk")
      << QStringLiteral("\u4F60\uFFFD");
  QTest::newRow("meta past the first 1024 bytes ignored")
      << QByteArray(1100, ' ') + "<meta charset=latin1>caf\xE9" << QByteArray()
      << QStringLiteral("caf\uFFFD");
  QTest::newRow("meta near byte 900")
      << QByteArray(900, ' ') + "<meta charset=latin1>caf\xE9" << QByteArray() << "caf" + e_acute;
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

void TestMarkup::keeps_text_after_oversized_references_data() {
  QTest::addColumn<QString>("input");
  QTest::addColumn<QString>("expected_body");

  QTest::newRow("decimal") << "a&#3000000000;rest" << QStringLiteral("a\uFFFDrest");
  QTest::newRow("wraps to NUL") << "a&#4294967296;rest" << QStringLiteral("a\uFFFDrest");
  QTest::newRow("wraps to a control") << "a&#4294967297;rest" << QStringLiteral("a\uFFFDrest");
  QTest::newRow("upper-case hex") << "a&#X1000000000000041;rest" << QStringLiteral("a\uFFFDrest");
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
  QTest::newRow("in raw text") << "a<script>s = '&#3000000000;';</script>"
                               << QStringLiteral("a<SCRIPT>s = '\uFFFD';</SCRIPT>");
}

void TestMarkup::keeps_text_after_oversized_references() {
  QFETCH(QString, input);
  QFETCH(QString, expected_body);
  const QString html = outer_html_of(input);
  QCOMPARE(html, page(expected_body));
  QVERIFY(!html.contains(QChar(0)));
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

void TestMarkup::decodes_with_icu_converters() {
  QCOMPARE(document_outer_html("<p>\x82\xA0", "text/html; charset=Shift_JIS"),
           page(QStringLiteral("<P>\u3042</P>")));
}

void TestMarkup::accepts_text_with_nul_and_lone_surrogates() {
  // U+D800 encoded as if it were a character.
  const QString html = document_outer_html(QByteArray("a\0\xED\xA0\x80"
                                                      "b<p>c",
                                                      10),
                                           {});
  QVERIFY(!html.contains(QChar(0)));
  QVERIFY(html.startsWith(QStringLiteral("<HTML><HEAD></HEAD>\r\n<BODY>a")));
  QVERIFY(html.endsWith(QStringLiteral("b<P>c</P></BODY></HTML>")));
}

QTEST_GUILESS_MAIN(TestMarkup)

#include "test_markup.moc"
