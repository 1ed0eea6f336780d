import QtQuick

// A button of the recordings screen's dialogs: a filled rounded box, darker while hovered, with
// its text centred.
AppButton {
    id: dialogButton

    property color fill
    property color hoverFill
    property color textColor: "#FFFFFF"
    property bool boldText: true
    property color borderColor: "transparent"

    background: Rectangle {
        color: dialogButton.hovered ? dialogButton.hoverFill : dialogButton.fill
        radius: 8
        border.color: dialogButton.borderColor
        border.width: dialogButton.borderColor === Qt.color("transparent") ? 0 : 1
    }
    contentItem: Text {
        text: dialogButton.text
        color: dialogButton.textColor
        font.pixelSize: 14
        font.bold: dialogButton.boldText
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
}
