import QtQuick 2.4
import QtQuick.Layouts 1.1

// A header link: a text as large as itself, half-transparent white until
// the pointer is over it. What a click does is up to each instance.
Item {
    id: mainElement

    property string text

    signal clicked()

    height: rootText.height
    width: rootText.width

    FontLoader {
        id: geometria_medium
        source: "qrc:/Fonts/Manrope-Medium.ttf"
    }

    Text {
        id: rootText

        text: parent.text
        font.family: geometria_medium.name
        font.pixelSize: 15
        font.weight: Font.Medium
        color: mouseArea.containsMouse ? "#FFFFFF" : "#80FFFFFF"
    }

    MouseArea {
        id: mouseArea

        anchors.fill: parent
        hoverEnabled: true
        cursorShape: containsMouse ? Qt.PointingHandCursor : Qt.ArrowCursor
        onClicked: mainElement.clicked()
    }
}
