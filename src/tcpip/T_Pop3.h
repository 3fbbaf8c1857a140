#pragma once

#include "tcpip/T_TcpIp.h"

#include <functional>
#include <string>
#include <vector>

// One message of the mailbox, as listed.
class t_reply final {
public:
    int MsgNumber = 0;
    int MsgSize = 0;
    std::string MsgFrom;
    std::string MsgSubject;
};

// The POP3 mailbox client: log in (and list), summaries, retrieve, delete, quit.
class T_Pop3 final : public T_TcpIp {
public:
    T_Pop3();
    ~T_Pop3() override;

    void Login() override;
    void Logout() override;
    void DoAction() override;

    void ReadReply();
    void GetHeaders();
    void Retrieve(int number);
    void Delete(int number);

    int NumberOfMails() const { return numberOfMails_; }

    std::string UserName;
    std::string Password;
    std::vector<t_reply> Messages;
    std::vector<std::string> Lines;
    // What one multi-line answer (the list, a header, a message) may hold; a
    // server sending more is dropped with an error naming the bound.
    size_t MaxAnswerLines = 1000000;
    size_t MaxAnswerBytes = size_t(256) << 20;

    // What the server said of itself when last asked (CAPA), one capability a line.
    std::vector<std::string> Capabilities;

private:
    // STLS: only to a server that offers it, and the capabilities asked again
    // over TLS, since those sent in plain may have been tampered with.
    void UpgradeToTls();
    void AskCapabilities();
    bool Offers(const std::string& capability) const;
    void ReadList();
    void ReadHeaderOf(t_reply& message);
    // The lines of a multi-line answer up to its final ".", each handed to
    // take; what names the answer in the errors ("the list").
    void ReadAnswer(const std::string& what, const std::function<void(std::string&)>& take);

    int numberOfMails_ = 0;
};
