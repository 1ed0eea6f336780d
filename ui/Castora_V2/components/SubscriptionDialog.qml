import QtQuick
import QtQuick.Controls
import "ScreenLogic.js" as Logic

// Says why nothing goes up: uploads need an active subscription. OK, Escape or a press
// outside closes it.
Dialog {
    id: subscriptionDialog

    width: 360
    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    padding: 0
    background: Rectangle {
        color: "#FFFFFF"
        radius: 12
        border.color: "#E0E0E0"
        border.width: 1
    }

    Column {
        width: parent.width
        spacing: 16
        padding: 24

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: "⚠"
            font.family: Logic.emojiFont
            font.pixelSize: 36
        }

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: qsTr("Subscription Required")
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            color: "#222222"
            font.pixelSize: 18
            font.bold: true
        }

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            width: 312
            text: qsTr("Your subscription is not active. Please renew your subscription to upload recordings.")
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            color: "#666666"
            font.pixelSize: 14
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
        }

        DialogButton {
            objectName: "subscriptionOkButton"
            focus: true
            anchors.horizontalCenter: parent.horizontalCenter
            width: 120
            height: 40
            text: qsTr("OK")
            fill: "#DD3333"
            hoverFill: "#CC2222"
            onClicked: subscriptionDialog.close()
        }
    }
}
