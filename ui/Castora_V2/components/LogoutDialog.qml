import QtQuick
import QtQuick.Controls

// Asks the broadcaster to confirm signing out. The screen that shows it acts on the signals.
Rectangle {
    id: dialog

    // A broadcast is being started or stopped: the buttons wait, "Logout" shows a spinner.
    property bool busy: false

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

        // Clicks on the card stay on the card; only those beside it reach the screen.
        MouseArea {
            anchors.fill: parent
        }

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
                    enabled: !dialog.busy
                    background: Rectangle {
                        color: "#000000"
                        radius: 8
                    }
                    contentItem: Item {
                        Text {
                            anchors.centerIn: parent
                            text: confirmButton.text
                            visible: !dialog.busy
                            color: "#FFFFFF"
                            font.pixelSize: 14
                            font.bold: true
                        }

                        BusyIndicator {
                            anchors.centerIn: parent
                            width: 30
                            height: 30
                            visible: dialog.busy
                            running: dialog.busy
                            palette.dark: "#FFFFFF"
                        }
                    }
                    onClicked: dialog.logoutConfirmed()
                }

                Button {
                    id: cancelButton

                    objectName: "logoutCancelButton"
                    width: parent.width
                    height: 50
                    text: qsTr("Cancel")
                    enabled: !dialog.busy
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
