#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

// Character set detection and decoding

namespace velmoth::markup_detail {

struct Decoding {
  enum Kind { Utf8, QtDecoder } kind = Utf8;
  QByteArray decoder_name;  // for QtDecoder: a name QStringDecoder accepts
};

// Resolves a charset label the way browsers do for the common labels: the Latin-1 family means
// windows-1252, UTF-7 is refused (it lets a page smuggle markup past any filter), and a page
// cannot honestly declare UTF-16/32 in a <meta> that was read as ASCII, so that means UTF-8.
std::optional<Decoding> decoding_for_label(QByteArrayView raw_label, bool from_meta);

// The charset parameter of a Content-Type value.
QByteArrayView charset_parameter(QByteArrayView content_type);

// Reads the attributes of a tag in the prescan; `pos` starts after the tag name and ends after
// the closing '>' (or at the end of the window).
struct PrescanAttribute {
  QByteArrayView name;
  QByteArrayView value;
};

std::optional<PrescanAttribute> next_prescan_attribute(QByteArrayView head, qsizetype &pos);

// A simplified form of the HTML encoding prescan over the first 1024 bytes: the first <meta>
// that names a usable charset wins; comments and other tags are stepped over.
std::optional<Decoding> charset_from_meta(QByteArrayView bytes);

// The page is complete: a sequence cut off at its end is invalid, not pending.
QByteArray decode_to_utf8(QByteArrayView bytes, const QByteArray &decoder_name);

}  // namespace velmoth::markup_detail
