#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QTextEdit;

// The transcript of what the commands did, as lines of rich text in the
// window's text box, and its log file: the whole transcript as RTF, written
// anew after each step while logging is on. GUI thread only.
class Transcript final {
public:
    explicit Transcript(QTextEdit& view);

    void WriteHeading(const std::string& text); // bold blue
    void WriteLine(const std::string& text);    // regular black
    void WriteAlert(const std::string& text);   // bold red
    void WriteMuted(const std::string& text);   // regular grey: what did not happen
    // Text from the system (a locale's date, a file name), which may hold
    // characters the code page lacks, shown and logged as it is.
    void WriteSystemLine(const QString& text);
    // Text decoded from a peer's labelled bytes (a mail header), which may
    // hold characters the code page lacks: a heading, and regular lines.
    void WriteTextHeading(const QString& text);
    void WriteTextLinesInBatches(const QStringList& lines, const std::function<void()>& between);
    // Regular lines in one edit, so the transcript is laid out once for them all.
    void WriteLines(const std::vector<std::string>& lines);
    // Many regular lines in batches. Between two batches that held the window
    // for a paint slice, between() runs: the window lets its events through
    // there, and raises to end the writing.
    void WriteLinesInBatches(const std::vector<std::string>& lines, const std::function<void()>& between);
    void Clear();
    // Scrolls down to the latest line, unless the user was reading further up;
    // never sideways, so a long line does not push every line's start out of view.
    void ShowLatest();
    std::string Rtf() const;

    bool Logging() const { return logging_; }
    void SetLogging(bool on) { logging_ = on; }
    // Where the log file goes; empty: LogFolderFor the program's folder.
    void SetLogFolder(const QString& folder) { logFolder_ = folder; }
    QString LogFilePath() const;
    // Where the log goes for a program in programFolder: there when it can be
    // written, else the user's state folder ($XDG_STATE_HOME/VexmorPing).
    static QString LogFolderFor(const QString& programFolder);
    // Raises when the file cannot be written.
    void SaveLog() const;
    // A failed save is reported once, and logging goes off for the run.
    void SaveLogIfOn();

    // The grey of WriteMuted: readable on white, yet clearly not a result.
    static constexpr uint32_t MutedRgb = 0x808080;
    // How long a batch may hold the window before events get through.
    static constexpr int PaintSliceMs = 40;

private:
    void Write(const QStringList& lines, bool bold, uint32_t rgb);
    void WriteAnsi(const std::vector<std::string>& lines, bool bold, uint32_t rgb);

    QTextEdit& view_;
    int paragraphs_ = 0;
    bool following_ = true; // the view was at its end before the last output
    bool logging_ = false;
    QString logFolder_;
    mutable QString foundFolder_; // found once, at the first save
};
