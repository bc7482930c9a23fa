#pragma once

// The window's two forms as plain arithmetic: the mini-panel sizes, the position rule and the
// choices the window's controls make. Screen rectangles are Qt's (y grows downwards).

#include <QRect>
#include <QSize>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <Qt>

#include <optional>

namespace zarv::window {

inline constexpr QSize kFullWindowSize{550, 466};
/// The full window while its Live View tab shows: room for a frame at half its size and more.
inline constexpr QSize kLiveViewWindowSize{900, 680};
inline constexpr double kDefaultMiniWidth = 350;
inline constexpr double kDefaultMiniVerticalOffset = 30;
/// The mini panel is this high minus the chosen size's vertical offset.
inline constexpr int kMiniPanelBaseHeight = 100;

/// The first entry of `sizes` whose "somevalue" equals `selected` without regard to case.
std::optional<QVariantMap> getMiniPanelInfo(const QVariantList& sizes, const QString& selected);
/// The entry's "width" (a number, or a text holding one), else 350; also 350 for a width
/// below 1.
double getMiniWidth(const std::optional<QVariantMap>& info);
/// The entry's "heightoffset" (a number, or a text holding one), else 30; also 30 for an
/// offset outside [0, 100), which would leave the panel no height or out of the zoom's reach.
double getMiniVerticalOffset(const std::optional<QVariantMap>& info);
/// The mini panel's size for an entry: width x (100 - offset), rounded.
QSize miniPanelSize(const std::optional<QVariantMap>& info);
/// The row the size pop-up selects: the first match, else the last entry; -1 for no entries.
int miniPanelSizeIndex(const QVariantList& sizes, const QString& selected);
/// Sizes "pref1" and "pref2" (without regard to case) have no title bar.
bool removesTitleBar(const QString& sizeKey);

/// The position rule: true when the window goes to the bottom right of the screen
/// ("prefForceWindowBottomRight", or "prefForceWindowPosition" reading "bottomright" once
/// blanks are removed, without regard to case).
bool wantsBottomRight(bool forceBottomRight, const QString& forcedPosition);
/// The window's new frame of `size`: its bottom-left corner kept from `current`, or its
/// bottom-right corner at the bottom right of `screen` (the screen's own rectangle, offset
/// included) when `bottomRight`.
QRect placeWindow(const QRect& current, const QSize& size, const QRect& screen, bool bottomRight);

/// The zoom button: a window this high or lower becomes the full window, a taller one the
/// mini panel.
bool zoomMakesFullWindow(int height);
/// "prefDefaultMainTabviewItemIdentifier" trimmed; "preferences" when missing or empty.
QString initialTabIdentifier(const QString& stored);
/// The quit sheet's code for the button that closed it: "confirmquit" -1111,
/// "confirmquitrelaunch" -3333, anything else -2222 (without regard to case).
long confirmQuitCode(const QString& buttonIdentifier);
/// The disclosure button's modifier test: any of Ctrl, Alt, Meta held (the Mac's Command,
/// Option and Control).
bool anyCommandModifier(Qt::KeyboardModifiers modifiers);

} // namespace zarv::window
