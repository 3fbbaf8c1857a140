#include "app/TformVexmor.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "settings/ConfigKeys.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QTreeWidget>

#include <vector>

namespace {

// Host entries sort by caption as words do: letter case matters only between
// names that are otherwise equal, whatever locale the program runs in.
class HostItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override
    {
        const int folded = QString::localeAwareCompare(text(0).toLower(), other.text(0).toLower());
        return (folded != 0 ? folded : QString::localeAwareCompare(text(0), other.text(0))) < 0;
    }
};

std::string EntryPath(const std::string& name)
{
    return std::string(HostsPath) + "\\" + name;
}

// The "Hosts" key, opened (never created) for one operation.
class HostsKey {
public:
    HostsKey() { ok_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, HostsPath, 0, KEY_ALL_ACCESS, &key_) == ERROR_SUCCESS; }
    ~HostsKey()
    {
        if (ok_)
            RegCloseKey(key_);
    }
    HostsKey(const HostsKey&) = delete;
    HostsKey& operator=(const HostsKey&) = delete;
    bool ok() const { return ok_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = 0;
    bool ok_ = false;
};

} // namespace

void TformVexmor::LoadHostList()
{
    hosts->clear();
    HostsKey key;
    if (!key.ok())
        return;
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyA(key.get(), &count, &longest) != ERROR_SUCCESS)
        return;
    std::vector<char> name(longest + 1);
    QStringList names;
    for (DWORD i = 0; i < count; ++i) {
        DWORD size = DWORD(name.size());
        if (RegEnumKeyExA(key.get(), i, name.data(), &size) == ERROR_SUCCESS)
            names << FromAnsi(std::string(name.data(), size));
    }
    msg_body->setPlainText(names.join('\n'));

    // Sorting once at the end is much cheaper than at every insertion.
    hosts->setSortingEnabled(false);
    for (const QString& entry : names) {
        const std::string path = EntryPath(ToAnsi(entry));
        auto* item = new HostItem(hosts); // owned by the list
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Unchecked);
        item->setText(0, entry);
        item->setText(1, FromAnsi(reg_read.ReadKeyLM(path, "ip_address")));
        item->setText(2, FromAnsi(reg_read.ReadKeyLM(path, "username")));
        item->setText(3, FromAnsi(reg_read.ReadKeyLM(path, "password")));
    }
    hosts->setSortingEnabled(true);
}

void TformVexmor::hostsClick()
{
    bool selected = false;
    for (int i = 0; i < hosts->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = hosts->topLevelItem(i);
        if (!item->isSelected())
            continue;
        selected = true;
        hostname->setText(item->text(1));
        savename->setText(item->text(0));
        username->setText(item->text(2));
        password->setText(item->text(3));
        bDelete->setEnabled(true);
    }
    if (selected || hosts->topLevelItemCount() == 0)
        return;
    bool any = false;
    for (int i = 0; i < hosts->topLevelItemCount() && !any; ++i)
        any = hosts->topLevelItem(i)->isSelected() || hosts->topLevelItem(i)->checkState(0) == Qt::Checked;
    bDelete->setEnabled(any);
}

void TformVexmor::hostnameChange()
{
    bAdd->setEnabled(!hostname->text().isEmpty() && !savename->text().isEmpty());
}

void TformVexmor::bAddClick()
{
    const std::string name = ToAnsi(savename->text());
    // A backslash would make a nested key (or one outside "Hosts"): refuse it.
    if (name.find('\\') != std::string::npos)
        throw Exception("The entry name \"" + name + "\" holds a backslash; nothing was saved.");
    {
        HostsKey key;
        if (key.ok()) {
            HKEY entry = 0;
            if (RegCreateKeyExA(key.get(), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &entry, nullptr) != ERROR_SUCCESS)
                throw Exception("Failed to create key " + name);
            RegCloseKey(entry);
            reg_read.WriteKeyLM(EntryPath(name), "ip_address", ToAnsi(hostname->text()));
            reg_read.WriteKeyLM(EntryPath(name), "username", ToAnsi(username->text()));
            reg_read.WriteKeyLM(EntryPath(name), "password", ToAnsi(password->text()));
        }
    }
    LoadHostList();
}

void TformVexmor::DeleteHostEntries(const std::vector<QTreeWidgetItem*>& entries)
{
    {
        HostsKey key;
        if (key.ok())
            for (const QTreeWidgetItem* entry : entries)
                RegDeleteKeyA(key.get(), ToAnsi(entry->text(0)).c_str());
    }
    LoadHostList();
}

void TformVexmor::bDeleteClick()
{
    std::vector<QTreeWidgetItem*> selected;
    for (int i = 0; i < hosts->topLevelItemCount(); ++i)
        if (hosts->topLevelItem(i)->isSelected())
            selected.push_back(hosts->topLevelItem(i));
    DeleteHostEntries(selected);
}

void TformVexmor::delmenuCheckedClick()
{
    DeleteHostEntries(CheckedHosts());
}
