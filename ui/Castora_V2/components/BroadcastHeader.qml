import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import com.StreamController
import "ScreenLogic.js" as Logic

// The broadcast screen's black top bar: channel avatar and name, the support link, the way to
// the recordings and the logout button.
ToolBar {
    id: header

    property string channelName: ""
    property string channelArt: ""

    // The logout button was clicked.
    signal profileClicked
    // The recordings button was clicked; the screen pushes the recordings screen.
    signal recordingsClicked

    // Back from the logout dialog, the keyboard focus is where it was.
    function focusLogout() {
        logoutButton.forceActiveFocus(Qt.TabFocusReason);
    }

    implicitHeight: 46
    padding: 0
    background: Rectangle {
        color: "#000000"
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 10
        anchors.rightMargin: 10
        anchors.topMargin: 5
        anchors.bottomMargin: 5
        spacing: 0

        Rectangle {
            objectName: "channelAvatar"
            Layout.preferredWidth: 30
            Layout.preferredHeight: 30
            radius: 15
            color: "#D4A574"
            clip: true

            Image {
                anchors.fill: parent
                source: header.channelArt
                fillMode: Image.PreserveAspectCrop
                visible: header.channelArt !== ""
            }
        }

        RemoteText {
            objectName: "channelNameLabel"
            Layout.leftMargin: 10
            Accessible.name: header.channelName
            text: Logic.truncated(header.channelName, 13)
            color: "#FFFFFF"
            font.pixelSize: 14
            font.bold: true
        }

        Item {
            Layout.fillWidth: true
        }

        RowLayout {
            Layout.alignment: Qt.AlignVCenter
            spacing: 3

            AppButton {
                id: supportButton

                objectName: "supportButton"
                flat: true
                text: qsTr("🎧 Support")
                Accessible.name: qsTr("Support")
                Accessible.description: qsTr("Opens the service's support page")
                contentItem: Text {
                    textFormat: Text.RichText
                    text: Logic.emojiRichText(supportButton.text)
                    color: "#AAAAAA"
                    font.pixelSize: 12
                    verticalAlignment: Text.AlignVCenter
                }
                onClicked: Qt.openUrlExternally(AppLinks.support)
            }

            AppButton {
                objectName: "recordingsButton"
                flat: true
                text: qsTr("Recordings")
                contentItem: Row {
                    spacing: 6

                    Image {
                        anchors.verticalCenter: parent.verticalCenter
                        width: 14
                        height: 14
                        source: "../icons/recording.png"
                        sourceSize.width: 28
                        sourceSize.height: 28
                        fillMode: Image.PreserveAspectFit
                    }

                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: qsTr("Recordings")
                        color: "#AAAAAA"
                        font.pixelSize: 12
                    }
                }
                onClicked: header.recordingsClicked()
            }

            AppButton {
                id: logoutButton

                objectName: "logoutButton"
                Layout.preferredWidth: 32
                Layout.preferredHeight: 32
                padding: 0
                text: qsTr("Log out")
                Accessible.description: qsTr("Signs out of the service, after a confirmation")
                background: Rectangle {
                    radius: 16
                    color: "#FFFFFF"
                }
                contentItem: Item {
                    Image {
                        anchors.centerIn: parent
                        width: 18
                        height: 18
                        source: "../icons/logout.png"
                        sourceSize.width: 36
                        sourceSize.height: 36
                        fillMode: Image.PreserveAspectFit
                    }
                }
                onClicked: header.profileClicked()

                HoverHandler {
                    cursorShape: Qt.PointingHandCursor
                }
            }
        }
    }
}
