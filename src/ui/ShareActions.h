#pragma once

// What both sharing popovers (the match list and the default camera settings) do with a file
// they made: mail it, share it "by message", or let the person save a copy. Main thread only.

#include <QList>
#include <QString>

#include <functional>

class QFileDialog;
class QPushButton;
class QWidget;

namespace zarv {

/// Connects each of `buttons` to `clicked`, with the modifier keys held when the button was
/// clicked (a button reports its click on release: the keys held then are the ones that count).
/// The connections end with `owner`.
void connectButtonsWithModifiers(QWidget* owner, const QList<QPushButton*>& buttons,
                                 std::function<void(QPushButton*, Qt::KeyboardModifiers)> clicked);

/// Mails `file` with `body` to the support mailbox through xdg-email; a failure is shown as an
/// alert titled `failureMessage` on `sheetWindow` (when it still exists).
void emailFile(QWidget* sheetWindow, const QString& body, const QString& file,
               const QString& failureMessage);

/// Shares `file` by message: its folder opens and `body` with the file's path goes to the
/// clipboard.
void messageFile(const QString& body, const QString& file);

/// Opens a save panel, window-modal on `sheetWindow` (never a nested event loop), titled
/// `title` and preset to `file`'s name in the home folder; the panel asks before replacing a
/// file. `ended` runs once when it ends, with its result (1 for OK) and the chosen path (empty
/// unless OK). The panel keeps what it needs: it may outlive whatever opened it. Returns the
/// panel, which deletes itself when done.
QFileDialog* openSaveCopyPanel(QWidget* sheetWindow, const QString& title, const QString& file,
                               std::function<void(int result, const QString& chosen)> ended);

/// Closes the popover showing `content`, if one does: the popover goes away when a share, a
/// panel or an alert takes over, as a menu would.
void closePopoverOf(QWidget* content);

} // namespace zarv
