import QtQuick
import QtQuick.Controls

// Asks the broadcaster to confirm signing out. The screen that shows it acts on the signals.
Rectangle {
    id: dialog

    signal logoutConfirmed
    signal cancelled

    color: "#80000000"

    Rectangle {
        id: card

        anchors.centerIn: parent
        width: 500
        height: 250
        color: "#FFFFFF"
        radius: 20

        Column {
            anchors.centerIn: parent
            width: card.width * 0.8
            spacing: 30

            Label {
                anchors.horizontalCenter: parent.horizontalCenter
                text: qsTr("Log out")
                font.pixelSize: 20
                font.bold: true
            }

            Label {
                width: parent.width
                text: qsTr("To confirm logout, click on Logout else click on cancel.")
                font.pixelSize: 13
                color: "#666666"
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
            }

            Column {
                width: parent.width
                spacing: 15

                Button {
                    id: confirmButton

                    objectName: "logoutConfirmButton"
                    width: parent.width
                    height: 50
                    text: qsTr("Logout")
                    background: Rectangle {
                        color: "#000000"
                        radius: 8
                    }
                    contentItem: Text {
                        text: confirmButton.text
                        color: "#FFFFFF"
                        font.pixelSize: 14
                        font.bold: true
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    onClicked: dialog.logoutConfirmed()
                }

                Button {
                    id: cancelButton

                    objectName: "logoutCancelButton"
                    width: parent.width
                    height: 50
                    text: qsTr("Cancel")
                    background: Rectangle {
                        color: "#CC3333"
                        radius: 8
                        border.color: "#DDDDDD"
                        border.width: 1
                    }
                    contentItem: Text {
                        text: cancelButton.text
                        color: "#FFFFFF"
                        font.pixelSize: 14
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    onClicked: dialog.cancelled()
                }
            }
        }
    }
}
