#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class TUrlLabel;

// The About dialog: the program's name, two lines of text and the maker's links.
class TformAbout final : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* WebPage = "https://zembrova.example/";
    static constexpr const char* SupportMail = "mailto:support@zembrova.example";

    explicit TformAbout(QWidget* parent = nullptr);

    QLabel* banner = nullptr;
    QLabel* lTitle = nullptr;
    QLabel* lTools = nullptr;
    QLabel* lOther = nullptr;
    TUrlLabel* UrlLabel1 = nullptr;
    TUrlLabel* UrlLabel2 = nullptr;
    QPushButton* bOk = nullptr;

    void bOkClick();
};
