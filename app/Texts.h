#pragma once

#include <QString>

// Every text the program shows to people, in one place.
namespace Texts {

inline const QString ApplicationTitle = QStringLiteral("Ombrix");

// Status panel 1: the recording.
inline const QString OpenFailed = QStringLiteral("オープン失敗");
inline const QString EndOfFile = QStringLiteral("ファイル終端");
inline const QString AllocationFailedSuffix = QStringLiteral("バイトメモリ割り当て失敗");
inline const QString ReadFailedSuffix = QStringLiteral("バイトデータ読み込み失敗");
// Status panel 2: the recording time elapsed.
inline const QString SecondsSuffix = QStringLiteral("秒");
// Status panel 0: the connection state.
inline const QString WaitingSuffix = QStringLiteral("ポートで接続待ち...");

// Errors.
inline const QString TimerUnavailable = QStringLiteral("タイマーを取得できません");
inline const QString InstanceUnavailable = QStringLiteral("あれ?");
inline const QString SocketInUse = QStringLiteral("ソケットを使用中は値を変更できません");
inline const QString CannotListenOnOpenSocket = QStringLiteral("開いたソケットでリスンできません");
inline const QString CannotCreateSocket = QStringLiteral("ソケットが作成できません");
// Filled with the code.
inline const QString AsyncSocketError = QStringLiteral("非同期ソケットエラー %1");
// Filled with the index.
inline const QString ListIndexOutOfBounds = QStringLiteral("リストのインデックスが範囲を超えています (%1)");
// Filled with the platform's description, its number and the call that failed.
inline const QString SocketError = QStringLiteral("ソケットエラー： %1 (%2) [API '%3']");
inline const QString ThreadModeUnsupported =
    QStringLiteral("スレッドブロッキング型のサーバーソケットには対応していません");

}  // namespace Texts
