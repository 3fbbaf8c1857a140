#include "app/WindowMemory.h"
#include "app/TformVexmor.h"
#include "framework/Ansi.h"
#include "platform/registry.h"

#include <QByteArray>
#include <QLineEdit>
#include <QSplitter>

#include <string>
#include <utility>
#include <vector>

namespace {

// The window's values are bytes (Qt's own state blobs, the fields' text),
// stored whole as binary values.
void Put(HKEY key, const char* name, const QByteArray& bytes)
{
    RegSetValueExA(key, name, 0, REG_BINARY, reinterpret_cast<const uint8_t*>(bytes.constData()),
                   DWORD(bytes.size()));
}

bool Get(HKEY key, const char* name, QByteArray& bytes)
{
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size > (1u << 20))
        return false;
    bytes.resize(qsizetype(size));
    return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<uint8_t*>(bytes.data()), &size) ==
           ERROR_SUCCESS;
}

std::vector<std::pair<const char*, QLineEdit*>> Fields(const TformVexmor& w)
{
    return {{"hostname", w.hostname},   {"packets", w.packets}, {"block_size", w.block_size},
            {"time_to_live", w.time_to_live}, {"timeout", w.timeout}};
}

} // namespace

void WindowMemory::Save(const TformVexmor& w)
{
    HKEY key = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return; // a read-only or busy hive: this layout is not kept
    RegistryTransaction together;
    Put(key, "geometry", w.saveGeometry());
    Put(key, "toolbars", w.saveState());
    Put(key, "splitter_main", w.SplitterMain->saveState());
    Put(key, "splitter_data", w.SplitterData->saveState());
    for (const auto& [name, field] : Fields(w))
        try {
            const std::string text = ToAnsi(field->text(), name);
            Put(key, name, QByteArray(text.data(), qsizetype(text.size())));
        } catch (const EAnsiError&) {
            // Text the code page cannot hold is refused by the commands; it is not kept either.
        }
    together.Commit();
    RegCloseKey(key);
}

void WindowMemory::Restore(TformVexmor& w)
{
    HKEY key = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    QByteArray bytes;
    if (Get(key, "geometry", bytes))
        w.restoreGeometry(bytes);
    if (Get(key, "toolbars", bytes))
        w.restoreState(bytes);
    if (Get(key, "splitter_main", bytes))
        w.SplitterMain->restoreState(bytes);
    if (Get(key, "splitter_data", bytes))
        w.SplitterData->restoreState(bytes);
    for (const auto& [name, field] : Fields(w))
        if (Get(key, name, bytes))
            field->setText(FromAnsi(bytes.toStdString()));
    RegCloseKey(key);
}
