#pragma once

#include <QString>
#include <QStringList>

// Every text the program shows to people, in one place.
namespace Texts {

inline const QString ApplicationTitle = QStringLiteral("Ombrix");

// Status panel 1: the recording.
inline const QString OpenFailed = QStringLiteral("オープン失敗");
inline const QString EndOfFile = QStringLiteral("ファイル終端");
inline const QString AllocationFailedSuffix = QStringLiteral("バイトメモリ割り当て失敗");
inline const QString ReadFailedSuffix = QStringLiteral("バイトデータ読み込み失敗");
// A compressed recording whose data is damaged, and a text recording that does not parse.
inline const QString DecompressFailed = QStringLiteral("展開失敗");
inline const QString FormatError = QStringLiteral("形式エラー");
// After a playlist entry's name: its place and the list's length, "name (3/12)".
inline const QString PlaylistPlace = QStringLiteral(" (%1/%2)");
// A recording followed while it is being written (--follow): after its name in panel 1,
// "name (追跡中)", and after its path on standard error, what it is doing.
inline const QString LiveState = QStringLiteral(" (%1)");
inline const QString LiveFollowing = QStringLiteral("追跡中");
inline const QString LiveWaitingForFile = QStringLiteral("作成待ち");
inline const QString LiveDeleted = QStringLiteral("削除されました。再作成待ち");
inline const QString LiveTruncated = QStringLiteral("切り詰められました。新しい記録を追跡");
inline const QString LiveReplaced = QStringLiteral("置き換えられました。新しい記録を追跡");
// Panel 1 and standard error: a recording that cannot be followed while it is written,
// because no frame of it is whole before its end.
inline const QString CannotFollowCompressed = QStringLiteral("圧縮された記録は追跡できません");
inline const QString CannotFollowVersion1 = QStringLiteral("asciicast v1 は追跡できません");
// Status panel 2: the recording time elapsed.
inline const QString SecondsSuffix = QStringLiteral("秒");
// Status panel 0: the connection state.
inline const QString WaitingSuffix = QStringLiteral("ポートで接続待ち...");
// Status panel 1 of a relay while no leader plays to it.
inline const QString WaitingForLeader = QStringLiteral("リーダー待ち...");

// Standard error, for leaders and relays of a channel (after "ombrix: "). Filled with the
// channel and the seconds a killed leader's claim lasts.
inline const QString ChannelHasLeader = QStringLiteral(
    "the channel %1 already has a leader: another program publishes it. Stop that one "
    "first (a leader that was killed gives the channel up after %2 s)");
// Filled with the channel.
inline const QString ChannelTakenOver =
    QStringLiteral("another leader claimed the channel %1 while NATS was away; this one plays on");
// Filled with the NATS address.
inline const QString LeaderLostNats = QStringLiteral(
    "lost NATS at %1: playing on for the viewers here, publishing again once it is back");
inline const QString RelayLostNats =
    QStringLiteral("lost NATS at %1: the viewers here wait for the leader");
inline const QString NatsBack = QStringLiteral("NATS at %1 is back");

// To a viewer turned away because as many as the operator allows are watching: a telnet
// line, or a WebSocket's close reason. In ASCII, which every terminal shows.
inline const QString TooManyViewers = QStringLiteral(
    "Ombrix: %1 viewers are watching, as many as this server takes. Please try again later.");

// Errors.
inline const QString TimerUnavailable = QStringLiteral("タイマーを取得できません");
inline const QString InstanceUnavailable = QStringLiteral("あれ?");
// Standard error, after the recording's path, when a running copy did not take it.
inline const QString HandoffNotAccepted =
    QStringLiteral("the running copy did not accept this recording; nothing was handed over");
// Standard error, when a runtime folder cannot be used: the folder, why, and (second form)
// the folder used instead.
inline const QString RuntimeFolderRefused = QStringLiteral("%1 cannot be the runtime folder: %2");
inline const QString RuntimeFolderReplaced =
    QStringLiteral("%1 cannot be the runtime folder: %2; using %3 instead");
// The reasons, each filled as its placeholders say.
inline const QString FolderIsLink = QStringLiteral("it is a symbolic link");
inline const QString FolderIsNoFolder = QStringLiteral("it is not a folder");
// Filled with the owner's user id.
inline const QString FolderOfAnotherUser = QStringLiteral("it belongs to user %1");
// Filled with the mode in octal.
inline const QString FolderOpenToOthers = QStringLiteral("others can use it (mode %1)");
inline const QString FolderNotWritable = QStringLiteral("it is not writable (mode %1)");
// Filled with the system's text.
inline const QString FolderNotMade = QStringLiteral("it cannot be made (%1)");
inline const QString FolderUnusable = QStringLiteral("it cannot be used (%1)");
// Filled with the unsafe folder above and the reason for it.
inline const QString FolderUnderUnsafe = QStringLiteral("%1 above it is not safe: %2");
// XDG_RUNTIME_DIR itself, when it is set but relative.
inline const QString FolderNotAbsolute = QStringLiteral("it is not an absolute path");
// Standard error, after a path, at start: a file of a playlist's folder is left out
// (after why), or a folder gave the list nothing.
inline const QString NotARecording = QStringLiteral("not a recording");
inline const QString LeftOutOfPlaylist = QStringLiteral("left out of the playlist");
inline const QString NoRecordingInFolder = QStringLiteral("no recording in this folder");
// Standard error, when a recording asks for a terminal larger than any: filled with the
// size it asks for and the size it is played at ("2147483647x24", "1000x24").
inline const QString TerminalSizeClamped = QStringLiteral(
    "ombrix: the recording asks for a %1 terminal, more than a terminal shows; played as %2");
inline const QString SocketInUse = QStringLiteral("ソケットを使用中は値を変更できません");
inline const QString CannotListenOnOpenSocket = QStringLiteral("開いたソケットでリスンできません");
inline const QString CannotCreateSocket = QStringLiteral("ソケットが作成できません");
// Filled with the code.
inline const QString AsyncSocketError = QStringLiteral("非同期ソケットエラー %1");
// Filled with the index.
inline const QString ListIndexOutOfBounds =
    QStringLiteral("リストのインデックスが範囲を超えています (%1)");
// Filled with the platform's description, its number and the call that failed.
inline const QString SocketError = QStringLiteral("ソケットエラー： %1 (%2) [API '%3']");
inline const QString ThreadModeUnsupported =
    QStringLiteral("スレッドブロッキング型のサーバーソケットには対応していません");

// Standard error, once, when a late viewer is given the replay because the screen model
// cannot stand for what the recording did; filled with one of the reasons below.
inline const QString CannotRepaint = QStringLiteral("cannot repaint exactly, because %1");
// The line itself, filled with the text above: newcomers to this recording are sent what
// was played instead of the screen.
inline const QString JoinedOnReplay = QStringLiteral("ombrix: newcomers get the replay: %1");
inline const QString ReasonInvalidUtf8 =
    QStringLiteral("the recording has bytes that are not UTF-8");
inline const QString ReasonC1InUtf8 =
    QStringLiteral("the recording writes a C1 control character as UTF-8");
inline const QString ReasonMalformedSequence =
    QStringLiteral("the recording has a control sequence too long or with bytes above 0x7F");
// Filled with the sequence, as "ESC [ ? 3 h".
inline const QString ReasonUnfollowed = QStringLiteral("the screen model does not follow %1");
inline const QString ReasonDisputed = QStringLiteral("terminals do not agree on what %1 does");
// Filled with the character, as "U+1F600".
inline const QString ReasonWidth = QStringLiteral("terminals do not agree on the width of %1");
inline const QString ReasonWideAtEdge = QStringLiteral(
    "terminals do not agree where a wide or combining character goes at a line's end "
    "without autowrap");
inline const QString ReasonWideHalf =
    QStringLiteral("terminals do not agree on a wide character half overwritten");
inline const QString ReasonCombining =
    QStringLiteral("terminals do not agree on a combining character written apart from its base");
inline const QString ReasonCharset = QStringLiteral(
    "the recording draws text in a character set other than ASCII and DEC line drawing");
inline const QString ReasonAttribute =
    QStringLiteral("the recording uses text attributes the screen model cannot keep");
inline const QString ReasonPalette = QStringLiteral("the recording changes the colour palette");
inline const QString ReasonGraphics = QStringLiteral("the recording draws pictures");
inline const QString ReasonResize =
    QStringLiteral("the recording resized a screen that was not blank");
inline const QString ReasonSavedAtWrap =
    QStringLiteral("the recording saved the cursor while a line wrap was pending");
inline const QString ReasonAlternateBackground =
    QStringLiteral("the recording entered the alternate screen with a background colour set");

// The main window: menu, actions and their hints (short|long; kept, never shown as tips).
inline const QString MenuFile = QStringLiteral("ファイル(&F)");
inline const QString ActionOpen = QStringLiteral("開く(&O)...");
inline const QString ActionExit = QStringLiteral("終了(&X)");
inline const QString ActionCategoryFile = QStringLiteral("ファイル");
inline const QString ActionOpenHint = QStringLiteral("開く|既存のファイルを開く");
inline const QString ActionExitHint = QStringLiteral("終了|アプリケーションを終了する");
inline const QString TrackBarHint = QStringLiteral("再生速度 (倍率: 1で通常速度)");
// The labels beside the speed bar, and the big mark left of the usage box.
inline const QString SpeedCaption = QStringLiteral("速度");
inline const QString PlaySpeedStart = QStringLiteral("1");
inline const QString BigMark = QStringLiteral("@<");
// The open dialog's filter: pairs of a description and its patterns, split by "|".
// The first entry is the one the dialog starts with; the file's content, not the entry,
// decides how it is read.
inline const QString OpenFilter = QStringLiteral(
    "ttyrecファイル (*.tty, *.ttyrec)|*.tty; *.ttyrec"
    "|圧縮ttyrecファイル (*.ttyrec.gz, *.ttyrec.bz2, *.ttyrec.xz, *.ttyrec.zst, *.ttyrec.lz4, "
    "*.ttyrec.lz)|*.ttyrec.gz; *.ttyrec.bz2; *.ttyrec.xz; *.ttyrec.zst; *.ttyrec.lz4; "
    "*.ttyrec.lz; *.tty.gz; *.tty.bz2; *.tty.xz; *.tty.zst"
    "|asciicastファイル (*.cast)|*.cast"
    "|すべてのファイル (*.*)|*.*");
// The usage box, one entry a line.
inline const QStringList UsageLines = {
    QStringLiteral(
        "1) まず [ファイル]→[開く] から ttyrec されたファイルを選択する。(ドロップしてもよし)"),
    QStringLiteral(
        "2) そして普段使っている telnet クライアントで、localhost のポート 21089 に接続。"),
    QStringLiteral("3) 再生中は telnet クライアントのキーで速度を変えられる。上のバーでも可。"),
    QString(),
    QStringLiteral("※複数クライアントがなぜか接続できる。後からきたクライアントにはそれまでの"),
    QStringLiteral("　経過がしょっぱな一気に送られ、見苦しい^H^H^H^Hあらすじがわかりやすい。"),
    QStringLiteral("　最初から見直したい場合はファイルを開き直すべし。"),
    QString(),
    QStringLiteral("※起動パラメータにttyrecファイルを指定できる。またOmbrixのあるディレクトリに"),
    QStringLiteral("　OmbrixAutoというショートカットを作っておくと、Ombrix初期起動時についでに"),
    QStringLiteral("　そいつも起動される。上手に設定すると拡張子ttyrecを関連付けして…とか可能。"),
};
// The credits and terms under the usage box, one entry a line.
inline const QStringList NoticeLines = {
    QStringLiteral("Ombrix — ttyrec の記録を telnet クライアントへ再生して見せるプログラム。"),
    QStringLiteral("Copyright (C) Ombrix の開発者たち。"),
    QStringLiteral("無保証です。使用によって生じたいかなる損害にも作者は責任を負いません。"),
    QStringLiteral("改変・再配布は自由です。再配布の際はこの表示を残してください。"),
};

}  // namespace Texts
