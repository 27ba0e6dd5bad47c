import QtQuick 2.4
import QtWinExtras 1.13

// The star emblem as a badge on the window's taskbar button. Chosen by the
// engine's file selector on Windows only, where QtWinExtras exists.
TaskbarButton {
    overlay.iconSource: "qrc:/Images/ico.png"
}
