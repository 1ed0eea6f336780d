import QtQuick
import QtQuick.Controls

// Asks the broadcaster to confirm signing out. The screen that shows it acts on the signals.
// Shown, it has the keyboard focus: Tab goes between its two buttons, Escape cancels.
Rectangle {
    id: dialog

    // A broadcast is being started or stopped: the buttons wait, "Logout" shows a spinner.
    property bool busy: false

    signal logoutConfirmed
    signal cancelled

    color: "#80000000"
    onVisibleChanged: {
        if (visible)
            confirmButton.forceActiveFocus(Qt.TabFocusReason);
    }
    Keys.onEscapePressed: {
        if (!dialog.busy)
            dialog.cancelled();
    }
    Accessible.role: Accessible.Dialog
    Accessible.name: qsTr("Log out")
    Accessible.ignored: !visible

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
                Accessible.ignored: !visible
                text: qsTr("Log out")
                font.pixelSize: 20
                font.bold: true
            }

            Label {
                width: parent.width
                Accessible.ignored: !visible
                text: qsTr("To confirm logout, click on Logout else click on cancel.")
                font.pixelSize: 13
                color: "#666666"
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
            }

            Column {
                width: parent.width
                spacing: 15

                AppButton {
                    id: confirmButton

                    objectName: "logoutConfirmButton"
                    KeyNavigation.tab: cancelButton
                    KeyNavigation.backtab: cancelButton
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
                            Accessible.ignored: true
                        }
                    }
                    onClicked: dialog.logoutConfirmed()
                }

                AppButton {
                    id: cancelButton

                    objectName: "logoutCancelButton"
                    KeyNavigation.tab: confirmButton
                    KeyNavigation.backtab: confirmButton
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
