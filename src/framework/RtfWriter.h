#pragma once

#include <string>

class QTextDocument;

// The document's text with its bold and colour as an RTF document: a colour
// table, \b and \cf switches, one \par per line, and \, {, } and characters
// outside 7-bit ASCII escaped.
std::string RtfFromDocument(const QTextDocument& document);
