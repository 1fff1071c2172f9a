// Commands that change the server's file tree without a data connection. Each accepts
// exactly one reply code; names go to the server unchanged (a line break in one is
// refused by session_command, which then awaits no reply).
#include "session/session.h"

// Sends one command and answers 0 when the reply is the one required.
static int command_with_reply(FtpSession *session, const char *format, const char *name, int required)
{
    if (!session || !session->control || !name)
        return -1;
    if (session_command(session, format, name) != required)
        return session_refused(session, FAILURE_SERVER);
    return 0;
}

int session_make_dir(FtpSession *session, const char *name)
{
    return command_with_reply(session, "MKD %s\r\n", name, 257);
}

int session_remove_dir(FtpSession *session, const char *name)
{
    return command_with_reply(session, "RMD %s\r\n", name, 250);
}

int session_rename(FtpSession *session, const char *old_name, const char *new_name)
{
    if (!new_name)
        return -1;
    // RNTO only follows a RNFR that the server took up.
    if (command_with_reply(session, "RNFR %s\r\n", old_name, 350) != 0)
        return -1;
    return command_with_reply(session, "RNTO %s\r\n", new_name, 250);
}

int session_delete(FtpSession *session, const char *name)
{
    return command_with_reply(session, "DELE %s\r\n", name, 250);
}
