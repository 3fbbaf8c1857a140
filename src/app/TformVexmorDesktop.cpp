#include "app/TformVexmor.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "icmp/IcmpStatus.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeySequence>
#include <QLineEdit>
#include <QToolButton>
#include <QMenu>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextEdit>
#include <QTreeWidget>

namespace {

// A CSV field, quoted when it holds a separator, a quote or a line end.
QString CsvField(const QString& text)
{
    if (!text.contains(',') && !text.contains('"') && !text.contains('\n') && !text.contains('\r'))
        return text;
    QString quoted = text;
    quoted.replace("\"", "\"\"");
    return '"' + quoted + '"';
}

QStringList RowCells(const QTreeWidgetItem* item, int columns)
{
    QStringList cells;
    for (int c = 0; c < columns; ++c)
        cells << item->text(c);
    return cells;
}

void WriteWhole(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw Exception("Cannot write " + AnsiFromSystem(path) + ": " + AnsiFromSystem(file.errorString()));
}

// The ending a filter such as "Plain text (*.txt)" names; empty for "(*)".
QString EndingOf(const QString& filter)
{
    const qsizetype at = filter.indexOf("(*.");
    if (at < 0)
        return {};
    const qsizetype end = filter.indexOf(QRegularExpression("[ );]"), at + 3);
    return filter.mid(at + 3, end < 0 ? -1 : end - at - 3);
}

// The file name as chosen, with the chosen type's ending when it has none.
QString WithEnding(const QString& path, const QString& filter)
{
    const QString ending = EndingOf(filter);
    if (ending.isEmpty() || !QFileInfo(path).suffix().isEmpty())
        return path;
    return path + '.' + ending;
}

} // namespace

void TformVexmor::BuildContextMenus()
{
    auto item = [](QMenu* menu, const char* name, const char* caption, QKeySequence keys = {}) {
        QAction* a = menu->addAction(QString::fromLatin1(caption));
        a->setObjectName(name);
        a->setShortcut(keys);
        return a;
    };
    detailsMenu = new QMenu(this);
    detailsMenu->setObjectName("detailsMenu");
    detailsCopy = item(detailsMenu, "detailsCopy", "&Copy Selected Rows", QKeySequence::Copy);
    detailsExport = item(detailsMenu, "detailsExport", "&Export List As CSV...");
    // Ctrl+C works in the list itself, not only from the menu.
    detailsCopy->setShortcutContext(Qt::WidgetShortcut);
    details->addAction(detailsCopy);
    details->setSelectionMode(QAbstractItemView::ExtendedSelection);
    details->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(details, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { detailsMenu->popup(details->viewport()->mapToGlobal(at)); });

    verboseMenu = new QMenu(this);
    verboseMenu->setObjectName("verboseMenu");
    verboseCopy = item(verboseMenu, "verboseCopy", "&Copy", QKeySequence::Copy);
    verboseMenu->addSeparator();
    verboseClear = item(verboseMenu, "verboseClear", "C&lear");
    verboseSaveAs = item(verboseMenu, "verboseSaveAs", "&Save As...");
    verbose->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(verbose, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        verboseCopy->setEnabled(verbose->textCursor().hasSelection());
        verboseMenu->popup(verbose->viewport()->mapToGlobal(at));
    });

    auto on = [this](QAction* action, void (TformVexmor::*handler)()) {
        connect(action, &QAction::triggered, this,
                [this, handler] { Application::RunHandler([&] { (this->*handler)(); }); });
    };
    connect(verboseCopy, &QAction::triggered, verbose, &QTextEdit::copy);
    on(detailsCopy, &TformVexmor::detailsCopyClick);
    on(detailsExport, &TformVexmor::detailsExportClick);
    on(verboseClear, &TformVexmor::verboseClearClick);
    on(verboseSaveAs, &TformVexmor::verboseSaveAsClick);
}

QString TformVexmor::ChooseSaveFile(const QString& caption, const QString& filters, QString& chosen)
{
    chosen = filters.section(";;", 0, 0);
    QString path;
    if (saveFileChooser) {
        path = saveFileChooser(caption, filters, chosen);
    } else {
        QFileDialog dialog(this, caption, QString(), filters);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        // The dialog adds the ending itself, so it asks before replacing
        // the file that will really be written.
        dialog.setDefaultSuffix(EndingOf(chosen));
        connect(&dialog, &QFileDialog::filterSelected, &dialog,
                [&dialog](const QString& filter) { dialog.setDefaultSuffix(EndingOf(filter)); });
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
            path = dialog.selectedFiles().constFirst();
            chosen = dialog.selectedNameFilter();
        }
    }
    return path.isEmpty() ? path : WithEnding(path, chosen);
}

QString TformVexmor::SelectedRowsText() const
{
    QStringList lines;
    for (const int row : SelectedRows())
        lines << RowCells(details->topLevelItem(row), details->columnCount()).join('\t');
    return lines.isEmpty() ? QString() : lines.join('\n') + '\n';
}

QString TformVexmor::ReportCsv() const
{
    QStringList header;
    for (int c = 0; c < details->columnCount(); ++c)
        header << CsvField(details->headerItem()->text(c));
    QStringList lines{header.join(',')};
    for (int r = 0; r < details->topLevelItemCount(); ++r) {
        QStringList cells;
        for (const QString& cell : RowCells(details->topLevelItem(r), details->columnCount()))
            cells << CsvField(cell);
        lines << cells.join(',');
    }
    return lines.join("\r\n") + "\r\n";
}

void TformVexmor::detailsCopyClick()
{
    const QString text = SelectedRowsText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

void TformVexmor::detailsExportClick()
{
    QString chosen;
    const QString path = ChooseSaveFile("Export the list", "CSV files (*.csv);;All files (*)", chosen);
    if (!path.isEmpty())
        WriteWhole(path, ReportCsv().toUtf8());
}

void TformVexmor::verboseClearClick()
{
    record_->Clear();
}

void TformVexmor::verboseSaveAsClick()
{
    QString chosen;
    const QString path =
        ChooseSaveFile("Save the transcript", "Rich text (*.rtf);;Plain text (*.txt);;All files (*)", chosen);
    if (path.isEmpty())
        return;
    // The chosen type decides; with "All files" the name's ending does.
    const QString ending = EndingOf(chosen);
    const bool plain = ending.isEmpty() ? path.endsWith(".txt", Qt::CaseInsensitive)
                                        : ending.compare("txt", Qt::CaseInsensitive) == 0;
    if (plain)
        WriteWhole(path, verbose->toPlainText().toUtf8());
    else {
        const std::string rtf = record_->Rtf();
        WriteWhole(path, QByteArray(rtf.data(), qsizetype(rtf.size())));
    }
}

void TformVexmor::ExplainStatus(QTreeWidgetItem* row, uint32_t status)
{
    // The row keeps its text; the status number's meaning is its tooltip.
    if (status == 0)
        return;
    const std::string meaning = IcmpStatusText(status);
    const QString tip = QString::fromStdString((meaning.empty() ? "Status" : meaning) + " (" + std::to_string(status) + ")");
    for (int c = 0; c < details->columnCount(); ++c)
        row->setToolTip(c, tip);
}

void TformVexmor::SetUpKeyboard()
{
    // Each command's key, shown in its hint. None is a key a text field
    // uses itself on any desktop's scheme (X11, KDE and GNOME bind Ctrl+A, C,
    // D, E, K, U, V, X, Z and Ctrl+Shift+Z; Windows adds Ctrl+Y), so the
    // fields keep their editing keys and the commands work wherever the focus is.
    const struct {
        QToolButton* button;
        QKeySequence keys;
    } commands[] = {
        {bExit, QKeySequence("Ctrl+Q")},   {bConfig, QKeySequence("Ctrl+O")},       {bPing, QKeySequence("Ctrl+P")},
        {bTrace, QKeySequence("Ctrl+T")},  {bStop, QKeySequence("Esc")},            {bMail, QKeySequence("Ctrl+M")},
        {bFinger, QKeySequence("Ctrl+F")}, {bScan, QKeySequence("Ctrl+Shift+K")},   {bResolve, QKeySequence("Ctrl+L")},
        {bTime, QKeySequence("Ctrl+G")},   {bAbout, QKeySequence("F1")},            {bAdd, QKeySequence("Ctrl+N")},
        {bDelete, QKeySequence("Ctrl+Shift+D")},
    };
    for (const auto& command : commands) {
        command.button->setShortcut(command.keys);
        command.button->setToolTip(command.button->toolTip() + " (" +
                                   command.keys.toString(QKeySequence::NativeText) + ")");
    }
    // Enter in the host field pings it, as the Ping button would.
    connect(hostname, &QLineEdit::returnPressed, this, [this] {
        if (bPing->isEnabled())
            Application::RunHandler([this] { bPingClick(); });
    });
    // Moving through the host list with the keys picks each entry as a click does.
    connect(hosts, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
        if (current && hosts->hasFocus())
            Application::RunHandler([this] { hostsClick(); });
    });
}
