import QtQuick
import QtQuick.Controls
import com.StreamController

// The update prompt over the whole window. While it is shown nothing behind it can be used:
// it takes every click, and the keyboard focus stays inside it: Tab and Shift+Tab go from one
// of its buttons to the other, Escape is "Later" where that is offered, and every other key
// ends here instead of reaching the screen behind it.
Rectangle {
    id: prompt

    color: "#80000000"
    visible: UpdateController.updateAvailable
    focus: visible
    onVisibleChanged: {
        if (visible)
            updateNowButton.forceActiveFocus(Qt.TabFocusReason);
    }
    Keys.onEscapePressed: {
        if (UpdateController.canDismiss)
            UpdateController.dismissUpdate();
    }
    Keys.onPressed: event => event.accepted = true
    Accessible.role: Accessible.Dialog
    Accessible.name: qsTr("Update Available")
    Accessible.ignored: !visible

    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.AllButtons
        hoverEnabled: true
        onWheel: wheel => wheel.accepted = true
    }

    Rectangle {
        id: card

        objectName: "updateCard"
        anchors.centerIn: parent
        width: 520
        height: content.height + 80
        color: "#FFFFFF"
        radius: 20

        Column {
            id: content

            anchors.centerIn: parent
            width: card.width * 0.8
            spacing: 20

            Label {
                Accessible.ignored: !visible
                anchors.horizontalCenter: parent.horizontalCenter
                text: qsTr("Update Available")
                font.pixelSize: 22
                font.bold: true
            }

            Label {
                Accessible.ignored: !visible
                width: parent.width
                text: qsTr("A new version of Castora is available.")
                font.pixelSize: 14
                color: "#666666"
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
            }

            Rectangle {
                width: parent.width
                height: versionRow.height + 24
                color: "#F5F5F5"
                radius: 10

                Row {
                    id: versionRow

                    anchors.centerIn: parent
                    spacing: 20

                    Column {
                        spacing: 4

                        Label {
                            Accessible.ignored: !visible
                            anchors.horizontalCenter: parent.horizontalCenter
                            text: qsTr("Current")
                            font.pixelSize: 11
                            color: "#999999"
                        }
                        Label {
                            Accessible.ignored: !visible
                            objectName: "currentVersionLabel"
                            anchors.horizontalCenter: parent.horizontalCenter
                            text: UpdateController.currentVersion
                            font.pixelSize: 16
                            font.bold: true
                            color: "#333333"
                        }
                    }

                    Label {
                        Accessible.ignored: true
                        anchors.verticalCenter: parent.verticalCenter
                        text: "→"
                        font.pixelSize: 20
                        color: "#999999"
                    }

                    Column {
                        spacing: 4

                        Label {
                            Accessible.ignored: !visible
                            anchors.horizontalCenter: parent.horizontalCenter
                            text: qsTr("Latest")
                            font.pixelSize: 11
                            color: "#999999"
                        }
                        RemoteText {
                            objectName: "latestVersionLabel"
                            anchors.horizontalCenter: parent.horizontalCenter
                            text: UpdateController.latestVersion
                            font.pixelSize: 16
                            font.bold: true
                            color: "#2E7D32"
                        }
                    }
                }
            }

            RemoteText {
                objectName: "releaseNotesLabel"
                width: parent.width
                visible: UpdateController.releaseNotes !== ""
                text: UpdateController.releaseNotes
                font.pixelSize: 13
                color: "#555555"
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
            }

            Label {
                Accessible.ignored: !visible
                objectName: "mandatoryWarning"
                width: parent.width
                visible: UpdateController.isMandatory
                text: qsTr("This update is required to continue using Castora.")
                font.pixelSize: 12
                font.bold: true
                color: "#D32F2F"
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
            }

            Label {
                Accessible.ignored: true
                objectName: "downloadFailedLabel"
                width: parent.width
                visible: UpdateController.downloadPageFailed
                text: qsTr("The download page could not be opened.")
                font.pixelSize: 12
                color: "#D32F2F"
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap

                Announcement {
                    message: qsTr("The download page could not be opened.")
                }
            }

            Column {
                width: parent.width
                spacing: 12

                AppButton {
                    id: updateNowButton

                    objectName: "updateNowButton"
                    KeyNavigation.tab: laterButton.visible ? laterButton : updateNowButton
                    KeyNavigation.backtab: laterButton.visible ? laterButton : updateNowButton
                    width: parent.width
                    height: 50
                    text: qsTr("Update Now")
                    background: Rectangle {
                        color: "#000000"
                        radius: 8
                    }
                    contentItem: Text {
                        text: updateNowButton.text
                        color: "#FFFFFF"
                        font.pixelSize: 14
                        font.bold: true
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    onClicked: UpdateController.openDownloadPage()
                }

                AppButton {
                    id: laterButton

                    objectName: "laterButton"
                    KeyNavigation.tab: updateNowButton
                    KeyNavigation.backtab: updateNowButton
                    width: parent.width
                    height: 50
                    visible: UpdateController.canDismiss
                    text: qsTr("Later")
                    background: Rectangle {
                        color: "#FFFFFF"
                        radius: 8
                        border.color: "#DDDDDD"
                        border.width: 1
                    }
                    contentItem: Text {
                        text: laterButton.text
                        color: "#000000"
                        font.pixelSize: 14
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    onClicked: UpdateController.dismissUpdate()
                }
            }
        }
    }
}
