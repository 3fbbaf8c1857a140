#pragma once

#include "tcpip/T_TcpIp.h"

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

private:
    void SendUser();
    void SendPassword();
    void ReadList();
    void ReadHeaderOf(t_reply& message);
    // The next line of a multi-line answer; false at its end.
    bool ReadDataLine(std::string& line);
    // Drops a connection whose goodbye goes unanswered (the server closed it).
    void DropDeadConnection();

    int numberOfMails_ = 0;
};
