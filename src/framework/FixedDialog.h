#pragma once

#include <QDialog>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>

// The frame the program's dialogs share: fixed size with system menu and
// minimise box, Tahoma 8 point, centred on the screen.
inline void SetUpFixedDialog(QDialog& dialog, int width, int height)
{
    dialog.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    dialog.setFont(QFont("Tahoma", 8));
    dialog.setFixedSize(width, height);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        dialog.move(screen->availableGeometry().center() - dialog.rect().center());
}
