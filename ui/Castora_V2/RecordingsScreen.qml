pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQml.Models
import com.StreamController
import "components/ScreenLogic.js" as Logic

// The local recordings, newest first: search by title or date, open a recording's folder,
// upload it (a spinner, or a progress circle for chunked uploads) and delete it.
Page {
    id: screen

    // The recording awaiting the delete confirmation.
    property int pendingDeleteId: -1
    property string pendingDeleteName: ""
    // Uploads in progress: id -> {isLargeFile, progress}. Replaced on every change, never
    // changed in place, so that every row reading it is updated.
    property var uploadingRecordings: ({})

    // Puts every row that matches the search into the "visible" group, and the others out.
    function applyFilter() {
        const rows = filteredRecordings.items;
        for (let i = 0; i < rows.count; ++i) {
            const row = rows.get(i);
            row.inVisible = Logic.matchesSearch(searchBar.text, row.model.name,
                                                row.model.dateCreated);
        }
    }

    function upload(id: int, name: string) {
        if (!StreamController.isSubscriber) {
            subscriptionDialog.open();
            return;
        }
        console.debug("Uploading recording:", name, "ID:", id);
        RecordingController.uploadRecording(id);
    }

    objectName: "recordingsScreen"
    Accessible.name: qsTr("Recordings")
    Accessible.ignored: !visible
    StackView.onActivated: backButton.forceActiveFocus(Qt.TabFocusReason)

    background: Rectangle {
        color: "#FFFFFF"
    }

    // A round outlined link to one of the service's pages; `text` names it for screen readers.
    component LinkIcon: AppButton {
        id: linkIcon

        property url iconSource
        property string url

        implicitWidth: 24
        implicitHeight: 24
        padding: 0
        Accessible.description: url
        background: Rectangle {
            radius: 12
            color: "transparent"
            border.color: "#CCCCCC"
            border.width: 1
        }
        contentItem: Item {
            Image {
                anchors.centerIn: parent
                width: 14
                height: 14
                source: linkIcon.iconSource
                sourceSize.width: 28
                sourceSize.height: 28
                fillMode: Image.PreserveAspectFit
            }
        }
        onClicked: Qt.openUrlExternally(linkIcon.url)

        HoverHandler {
            cursorShape: Qt.PointingHandCursor
        }
    }

    Connections {
        target: RecordingController

        function onUploadStarted(id: int, isLargeFile: bool) {
            screen.uploadingRecordings = Logic.withUpload(screen.uploadingRecordings, id,
                                                          isLargeFile, 0);
        }

        function onUploadProgress(id: int, progress: int) {
            const entry = screen.uploadingRecordings[id];
            if (entry)
                screen.uploadingRecordings = Logic.withUpload(screen.uploadingRecordings, id,
                                                              entry.isLargeFile, progress);
        }

        function onUploadCompleted(id: int, success: bool, message: string) {
            screen.uploadingRecordings = Logic.withoutUpload(screen.uploadingRecordings, id);
            if (success) {
                toast.show(message !== "" ? message : qsTr("Upload successful"));
            } else {
                console.debug("Upload failed:", message);
                toast.show(message);
            }
        }
    }

    header: Rectangle {
        implicitHeight: 70
        color: "#FFFFFF"

        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 20
            anchors.rightMargin: 20
            spacing: 15

            AppButton {
                id: backButton

                objectName: "backButton"
                flat: true
                text: qsTr("Back")
                Accessible.description: qsTr("Back to the broadcast screen")
                Layout.preferredWidth: 40
                Layout.preferredHeight: 40
                background: Rectangle {
                    radius: 20
                    color: backButton.hovered ? "#F0F0F0" : "transparent"
                }
                contentItem: Text {
                    text: "←"
                    color: "#333333"
                    font.pixelSize: 22
                    font.bold: true
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
                onClicked: screen.StackView.view.pop()
            }

            Label {
                text: qsTr("Recordings")
                color: "#222222"
                font.pixelSize: 20
                font.bold: true
            }

            Item {
                Layout.fillWidth: true
            }

            RecordingSearchBar {
                id: searchBar

                Layout.preferredWidth: 300
                Layout.preferredHeight: 40
                onTextChanged: screen.applyFilter()
            }

            Item {
                Layout.fillWidth: true
            }

            Row {
                spacing: 10

                LinkIcon {
                    objectName: "facebookLink"
                    text: qsTr("Facebook")
                    iconSource: "icons/facebook.png"
                    url: AppLinks.facebook
                }

                LinkIcon {
                    objectName: "linkedinLink"
                    text: qsTr("LinkedIn")
                    iconSource: "icons/linkedin.png"
                    url: AppLinks.linkedin
                }

                LinkIcon {
                    objectName: "whatsappLink"
                    text: qsTr("WhatsApp")
                    iconSource: "icons/whatsapp.png"
                    url: AppLinks.support
                }
            }
        }
    }

    DelegateModel {
        id: filteredRecordings

        model: RecordingController
        groups: [
            DelegateModelGroup {
                name: "visible"
                includeByDefault: false
            }
        ]
        filterOnGroup: "visible"
        items.onChanged: screen.applyFilter()

        delegate: RecordingRow {
            id: recordingRow

            upload: screen.uploadingRecordings[recordingRow.model.id]
            onUploadClicked: screen.upload(recordingRow.model.id, recordingRow.model.name)
            onDeleteClicked: {
                screen.pendingDeleteId = recordingRow.model.id;
                screen.pendingDeleteName = recordingRow.model.name;
                deleteDialog.open();
            }
        }
    }

    ListView {
        objectName: "recordingList"
        Accessible.role: Accessible.List
        Accessible.name: qsTr("Recordings")
        Accessible.ignored: !visible
        anchors.fill: parent
        anchors.topMargin: 10
        spacing: 5
        clip: true
        model: filteredRecordings
        Component.onCompleted: RecordingController.loadRecordings()
    }

    DeleteRecordingDialog {
        id: deleteDialog

        objectName: "deleteDialog"
        anchors.centerIn: parent
        pendingDeleteName: screen.pendingDeleteName
        onDeleteConfirmed: {
            if (screen.pendingDeleteId >= 0) {
                RecordingController.deleteRecording(screen.pendingDeleteId);
                screen.pendingDeleteId = -1;
                screen.pendingDeleteName = "";
            }
        }
    }

    SubscriptionDialog {
        id: subscriptionDialog

        objectName: "subscriptionDialog"
        anchors.centerIn: parent
    }

    Toast {
        id: toast

        objectName: "recordingsToast"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 50
        width: label.implicitWidth + 40
        height: 40
        radius: 20
        color: "#333333"
        holdTime: 3000
        z: 100
    }
}
