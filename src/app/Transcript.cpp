#include "app/Transcript.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "framework/Lines.h"
#include "framework/RtfWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSaveFile>
#include <QScrollBar>
#include <QTemporaryFile>
#include <QTextCursor>
#include <QTextEdit>

namespace {

// The paragraphs a text makes: a line end starts one, a bare CR does not, and
// the CR of a CR LF pair is dropped.
QStringList Paragraphs(const QString& text)
{
    QStringList pieces;
    const std::u16string_view all(QStringView(text).utf16(), size_t(text.size()));
    ForEachLine(all, LastLine::Always, [&pieces](std::u16string_view line) {
        pieces << QStringView(line.data(), qsizetype(line.size())).toString();
    });
    return pieces;
}

} // namespace

Transcript::Transcript(QTextEdit& view) : view_(view) {}

void Transcript::WriteHeading(const std::string& text)
{
    WriteAnsi({text}, true, 0x0000FF);
}

void Transcript::WriteLine(const std::string& text)
{
    WriteAnsi({text}, false, 0x000000);
}

void Transcript::WriteAlert(const std::string& text)
{
    WriteAnsi({text}, true, 0xFF0000);
}

void Transcript::WriteMuted(const std::string& text)
{
    WriteAnsi({text}, false, MutedRgb);
}

void Transcript::WriteSystemLine(const QString& text)
{
    Write({text}, false, 0x000000);
}

void Transcript::WriteTextHeading(const QString& text)
{
    Write({text}, true, 0x0000FF);
}

void Transcript::WriteLines(const std::vector<std::string>& lines)
{
    WriteAnsi(lines, false, 0x000000);
}

void Transcript::WriteLinesInBatches(const std::vector<std::string>& lines, const std::function<void()>& between)
{
    QStringList texts;
    texts.reserve(qsizetype(lines.size()));
    for (const std::string& text : lines)
        texts << FromAnsi(text);
    WriteTextLinesInBatches(texts, between);
}

void Transcript::WriteTextLinesInBatches(const QStringList& lines, const std::function<void()>& between)
{
    constexpr qsizetype Batch = 250;
    QElapsedTimer slice;
    slice.start();
    for (qsizetype at = 0; at < lines.size(); at += Batch) {
        Write(lines.mid(at, Batch), false, 0x000000);
        if (at + Batch < lines.size() && slice.elapsed() >= PaintSliceMs) {
            between();
            slice.restart();
        }
    }
}

void Transcript::WriteAnsi(const std::vector<std::string>& lines, bool bold, uint32_t rgb)
{
    QStringList texts;
    texts.reserve(qsizetype(lines.size()));
    for (const std::string& text : lines)
        texts << FromAnsi(text);
    Write(texts, bold, rgb);
}

void Transcript::Write(const QStringList& lines, bool bold, uint32_t rgb)
{
    if (lines.empty())
        return;
    QTextCharFormat format;
    format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
    format.setForeground(QColor(QRgb(rgb)));
    // New output is followed only while the user is at the end.
    QScrollBar* bar = view_.verticalScrollBar();
    following_ = bar->value() >= bar->maximum() - 4;
    QTextCursor cursor(view_.document());
    cursor.movePosition(QTextCursor::End);
    // One edit: the document is laid out once for the batch, not per line.
    cursor.beginEditBlock();
    for (const QString& text : lines)
        for (const QString& piece : Paragraphs(text)) {
            if (paragraphs_++ > 0)
                cursor.insertBlock(QTextBlockFormat(), format);
            // Plain text: whatever a server sent is never taken for markup.
            cursor.insertText(VisibleText(piece), format);
        }
    cursor.endEditBlock();
    if (following_)
        bar->setValue(bar->maximum());
}

void Transcript::Clear()
{
    view_.clear();
    paragraphs_ = 0;
}

void Transcript::ShowLatest()
{
    view_.setFocus();
    if (!following_)
        return;
    QScrollBar* sideways = view_.horizontalScrollBar();
    const int column = sideways->value();
    view_.moveCursor(QTextCursor::End);
    view_.ensureCursorVisible();
    sideways->setValue(column);
}

std::string Transcript::Rtf() const
{
    return RtfFromDocument(*view_.document());
}

QString Transcript::LogFolderFor(const QString& programFolder)
{
    // Beside the program where that can be written (a build tree, a portable
    // copy); an installed program's folder belongs to the system, so the
    // user's state folder takes the log then.
    QTemporaryFile probe(programFolder + "/.vexmor-write-test-XXXXXX");
    if (probe.open())
        return programFolder;
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + "/.local/state";
    const QString folder = state + "/VexmorPing";
    QDir().mkpath(folder);
    return folder;
}

QString Transcript::LogFilePath() const
{
    if (!logFolder_.isEmpty())
        return logFolder_ + "/VexmorPingLog.rtf";
    if (foundFolder_.isEmpty())
        foundFolder_ = LogFolderFor(QCoreApplication::applicationDirPath());
    return foundFolder_ + "/VexmorPingLog.rtf";
}

void Transcript::SaveLog() const
{
    const std::string rtf = Rtf();
    const QString path = LogFilePath();
    // A new file renamed over the old one: a reader never sees half a log.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(rtf.data(), qint64(rtf.size())) != qint64(rtf.size()) ||
        !file.commit())
        throw Exception("Cannot write the log file " + AnsiFromSystem(path) + ": " +
                        AnsiFromSystem(file.errorString()));
}

void Transcript::SaveLogIfOn()
{
    if (!logging_)
        return;
    try {
        SaveLog();
    } catch (const Exception& e) {
        // Said once; the command goes on without its log.
        logging_ = false;
        WriteAlert("Logging is switched off for this run: the log file could not be written.");
        if (App())
            App()->ShowException(e);
    }
}
