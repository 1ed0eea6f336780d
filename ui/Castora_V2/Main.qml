import QtQuick
import com.StreamController

Window {
    width: 900
    height: 700
    visible: true
    title: qsTr("Castora")
    Component.onCompleted: UpdateController.checkForUpdate()
}
