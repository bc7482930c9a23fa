#pragma once

#include "platform/UserDefaults.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

namespace zarv {

/// The setting naming the mailbox that shared match lists are mailed to (FactoryDefault.plist
/// holds the product's support address).
inline const QString kPrefSupportEmailAddress = QStringLiteral("prefSupportEmailAddress");

/// How long xdg-email is watched for a failure. A mail program it starts in the foreground keeps
/// it running; after this the message counts as handed over and xdg-email is left to run.
inline constexpr std::chrono::milliseconds kEmailTimeLimit{15000};

/// What a press on one of the match list popover's buttons does. The identifier is compared
/// without regard to case; "email" with Ctrl (the Command key) held shares by message instead.
struct MatchListActions {
    bool message = false;
    bool email = false;
    bool saveToFile = false;
};
MatchListActions matchListActions(const QString& identifier, bool commandHeld);

/// "Here's my camera modules info...\n\n": the body of a message share.
QString matchListMessageBody();
/// The body of an e-mail: the message body followed by "OS <operating system>\n\n".
QString matchListEmailBody();
/// "Info Sent From <application name>".
QString shareSubject();
/// The mailbox shares are mailed to: the setting above, trimmed; empty when unset.
QString supportAddress(UserDefaults& defaults = UserDefaults::standard());

/// xdg-email's arguments: subject, body (left out when empty), each existing attachment, then
/// the recipient when there is one. Passed as a list, never through a shell.
QStringList emailArguments(const QString& subject, const QString& body,
                           const QStringList& attachments, const QString& recipient);

/// Hands a message to the desktop's mail program through xdg-email (found on PATH), without
/// blocking. `done` runs once on the main thread: with an empty text when xdg-email succeeded
/// or was still running after `limit`, else with what failed and what to do (also logged), for
/// the caller to show. Main thread only.
void composeEmail(const QString& subject, const QString& body, const QStringList& attachments,
                  const QString& recipient, std::function<void(const QString& failure)> done,
                  std::chrono::milliseconds limit = kEmailTimeLimit);

/// Shares `file` "by message": Linux has no message service, so the folder holding the file is
/// opened in the file browser and the returned text (`body` and the file's path) is for the
/// caller to put on the clipboard; the log says so.
QString shareByMessage(const QString& body, const QString& file);

/// Copies `source` to `destination` (standardised), replacing a file there. The copy is written
/// beside the destination and renamed over it, so a failed copy leaves an existing file as it
/// was. True when copied; otherwise what failed, on which file, in `error`.
bool copyFileReplacing(const QString& source, const QString& destination, QString* error);

/// Copies the match list `source` to `destination` as copyFileReplacing does, logged with
/// "SAVED" or "Did NOT Save". True when saved.
bool saveMatchListCopy(const QString& source, const QString& destination);

} // namespace zarv
