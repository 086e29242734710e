// The scope screen's entry: hands the readouts to the shared state (the
// socket rewrites them when status arrives), sizes the canvas, fills the
// controls, opens the socket and starts drawing.
import { show, yOf } from "./scope_state.js";
import { connect, sendTrigger } from "./socket.js";
import { showMeasurements, showUnitsNote } from "./cursors_measurements.js";
import { animate, drawArrived, fitCanvas, spectrum } from "./drawing.js";
import { showControls, showStatus, showTriggerControls } from "./controls.js";
import { sessionMetadata } from "./saves.js";

Object.assign(show, { status: showStatus, controls: showControls, triggerControls: showTriggerControls,
                      measurements: showMeasurements, unitsNote: showUnitsNote, frame: drawArrived });
// For whoever watches the page (the browser test): the mapping of counts to
// the screen, sending the trigger's settings, the spectrum and the saved
// session's metadata.
Object.assign(window.zqlLive, { yOf, sendTrigger, spectrum, sessionMetadata });
fitCanvas();
showControls();
showTriggerControls();
showUnitsNote();
showStatus();
connect();
requestAnimationFrame(animate);
