#pragma once

// What Python's email package reads in a stored message (parse_message.py),
// the digest its parts are compared by, and the files a message is made of.

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <fstream>
#include <string>

inline std::string Sha256(const std::string& bytes)
{
    return QCryptographicHash::hash(QByteArray(bytes.data(), qsizetype(bytes.size())), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

inline QJsonObject ParseMessage(const std::string& path)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start("/usr/bin/python3", {VEXMOR_MAIL_TEST_DIR "/parse_message.py", QString::fromStdString(path)});
    p.waitForFinished(120000);
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

inline std::string WriteFile(const QTemporaryDir& dir, const std::string& name, const std::string& bytes)
{
    const std::string path = dir.path().toStdString() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}
