import QtQuick 2.4
import QtQuick.Controls 1.3

// A plain window until the full scene lands.
ApplicationWindow {
    id: mainWindow

    visible: true
    title: "Zanrok Launcher"
    width: 1178 * 1.1
    height: 662 * 1.1

    Column {
        Text { text: typeof currentServerName !== "undefined" ? currentServerName : "" }
        Text { text: typeof newsTitle0 !== "undefined" && newsTitle0 ? newsTitle0 : "" }
        Text { text: typeof online !== "undefined" ? online : "" }
        Text { text: self.gameLoaderStatus.info }
    }
}
