#include "app/TformVexmor.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "platform/AnsiCollation.h"
#include "settings/ConfigKeys.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QTreeWidget>

#include <vector>

namespace {

// Host entries sort by caption as lstrcmpA's word sort does, whatever locale
// the program runs in (captions come from the hive, so they convert back).
class HostItem final : public QTreeWidgetItem {
public:
    HostItem(QTreeWidget* list, const std::string& name)
        : QTreeWidgetItem(list), key_(AnsiWordKey(name))
    {
        setText(0, FromAnsi(name));
    }
    bool operator<(const QTreeWidgetItem& other) const override
    {
        return key_ < static_cast<const HostItem&>(other).key_;
    }

private:
    std::string key_; // the name's sort key, computed once
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
    // One snapshot: another copy deleting entries meanwhile cannot make an
    // entry vanish from the list or show twice.
    RegistryTransaction snapshot(false);
    HostsKey key;
    if (!key.ok())
        return;
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyA(key.get(), &count, &longest) != ERROR_SUCCESS)
        return;
    std::vector<char> name(longest + 1);
    std::vector<std::string> names;
    QStringList lines;
    for (DWORD i = 0; i < count; ++i) {
        DWORD size = DWORD(name.size());
        if (RegEnumKeyExA(key.get(), i, name.data(), &size) == ERROR_SUCCESS) {
            names.emplace_back(name.data(), size);
            lines << FromAnsi(names.back());
        }
    }
    msg_body->setPlainText(lines.join('\n'));

    // Sorting once at the end is much cheaper than at every insertion.
    hosts->setSortingEnabled(false);
    for (const std::string& entry : names) {
        const std::string path = EntryPath(entry);
        auto* item = new HostItem(hosts, entry); // owned by the list
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Unchecked);
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
    if (CommandWaiting())
        return; // a command may be reading the list
    const std::string name = ToAnsi(savename->text(), "The entry name");
    // A backslash would make a nested key (or one outside "Hosts"): refuse it.
    if (name.find('\\') != std::string::npos)
        throw Exception("The entry name \"" + name + "\" holds a backslash; nothing was saved.");
    // The values' path must fit the settings store's limit, or they would be lost.
    const size_t room = TRegistry1632::MaxText - EntryPath("").size();
    if (name.size() > room)
        throw Exception("The entry name is " + std::to_string(name.size()) + " characters long; at most " +
                        std::to_string(room) + " fit. Nothing was saved.");
    const std::string address = ToAnsi(hostname->text(), "The host name");
    const std::string user = ToAnsi(username->text(), "The user name");
    const std::string pass = ToAnsi(password->text(), "The password");
    {
        // The key and its three values are stored whole or not at all.
        RegistryTransaction transaction;
        if (transaction.Began() != ERROR_SUCCESS)
            throw Exception("The entry was not saved. " + RegistryLastFailure());
        HostsKey key;
        if (!key.ok())
            throw Exception("The host list cannot be changed. " + RegistryLastFailure());
        HKEY entry = 0;
        if (RegCreateKeyExA(key.get(), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &entry, nullptr) != ERROR_SUCCESS)
            throw Exception("Failed to create key " + name);
        RegCloseKey(entry);
        for (const auto& [value, text] : {std::pair<const char*, const std::string&>{"ip_address", address},
                                          {"username", user},
                                          {"password", pass}}) {
            reg_read.WriteKeyLM(EntryPath(name), value, text);
            if (reg_read.ErrorOccurred())
                throw Exception("The entry was not saved: " + reg_read.ErrorMessage() + ". " + RegistryLastFailure());
        }
        if (transaction.Commit() != ERROR_SUCCESS)
            throw Exception("The entry was not saved. " + RegistryLastFailure());
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
    if (CommandWaiting())
        return;
    std::vector<QTreeWidgetItem*> selected;
    for (int i = 0; i < hosts->topLevelItemCount(); ++i)
        if (hosts->topLevelItem(i)->isSelected())
            selected.push_back(hosts->topLevelItem(i));
    DeleteHostEntries(selected);
}

void TformVexmor::delmenuCheckedClick()
{
    if (CommandWaiting())
        return;
    DeleteHostEntries(CheckedHosts());
}
