import QtQuick 2.4

// Only Windows has a taskbar badge (see +windows/TaskbarOverlay.qml);
// elsewhere there is nothing to show.
Item {
}
