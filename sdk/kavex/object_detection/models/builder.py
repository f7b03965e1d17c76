"""``ObjectDetect``: the detector of the kavex stand-in SDK.

A stand-in for the device SDK's detector with the same calls and answer
layout, built on plain OpenCV so the engine runs and is tested without the
device.  Behaviours it knows:

* 5000001 -- moving objects, by differencing each frame against a running
  average of the previous ones (info type ``"motion"``).  The first frame,
  and the first after a change of picture size, only sets the background.
* 5000002 -- faces, by OpenCV's Haar frontal-face cascade (info type
  ``"face"``).

Any other behaviour number is accepted and never reports.  Boxes are
``[x1, y1, x2, y2, score]`` with inclusive pixel corners and a score in
[0, 1).
"""

import os
import tempfile
import threading
import time

import cv2
import numpy as np

from ..utils.base_utils import frame_roi, to_gray

MOTION = 5000001
FACE = 5000002
INFO_TYPES = {MOTION: "motion", FACE: "face"}


def _number(value, default, kind):
    try:
        return kind(value)
    except (TypeError, ValueError):
        return default


# Characters a file name cannot hold as they are, and "%", which escapes them:
# escaping "%" too keeps the mapping one-to-one ("a/b" and "a_b" stay apart).
_ESCAPED = {"%", "/", "\0"} | ({os.altsep} if os.altsep else set())


def _file_name(name):
    """``str(name)`` as a single file name, one name to one file: the characters
    that cannot stand in a file name, "%" and a leading "." (no hidden files,
    no "." or "..") become "%XX"; an empty name is "%"."""
    text = "".join("%{:02X}".format(ord(c)) if c in _ESCAPED else c for c in str(name))
    if text.startswith("."):
        text = "%2E" + text[1:]
    return text or "%"


# PyPI's OpenCV carries the cascades in cv2.data; a system OpenCV (a distribution's
# or a device vendor's package) leaves them in its share folder.
SYSTEM_CASCADE_FOLDERS = ("/usr/share/opencv4/haarcascades", "/usr/local/share/opencv4/haarcascades",
                          "/usr/share/opencv/haarcascades")


def cascade_folder():
    folder = getattr(getattr(cv2, "data", None), "haarcascades", "")
    if folder:
        return folder
    return next((f for f in SYSTEM_CASCADE_FOLDERS if os.path.isdir(f)), "")


class FaceHandle:
    """Face component: Haar cascade face finding and a registration store.

    Registered faces are kept as PNG crops under ``<cache>/faces/``; the
    folder is made on the first registration.
    """

    CASCADE = "haarcascade_frontalface_default.xml"
    SCALE_FACTOR = 1.1
    MIN_NEIGHBORS = 5
    MIN_SIZE = (40, 40)

    def __init__(self, cache):
        self.cache = cache
        self._lock = threading.Lock()  # a CascadeClassifier is not thread-safe
        self._cascade = None

    def _classifier(self):
        if self._cascade is None:
            if not hasattr(cv2, "CascadeClassifier"):
                raise RuntimeError(
                    "OpenCV %s has no CascadeClassifier; install "
                    "opencv-python-headless<5" % cv2.__version__)
            folder = cascade_folder()
            cascade = cv2.CascadeClassifier(os.path.join(folder, self.CASCADE))
            if cascade.empty():
                raise RuntimeError("cannot load %s from %r" % (self.CASCADE, folder))
            self._cascade = cascade
        return self._cascade

    def find(self, im):
        """Faces in a picture as ``[[x1, y1, x2, y2, score], ...]``, sorted."""
        gray = to_gray(im)
        with self._lock:
            rects, neighbours = self._classifier().detectMultiScale2(
                gray, scaleFactor=self.SCALE_FACTOR,
                minNeighbors=self.MIN_NEIGHBORS, minSize=self.MIN_SIZE)
        faces = []
        for (x, y, w, h), n in zip(rects, neighbours):
            score = round(float(n) / (float(n) + 3.0), 4)  # more neighbours, surer
            faces.append([int(x), int(y), int(x + w - 1), int(y + h - 1), score])
        return sorted(faces)

    def register(self, im, name):
        """Store the one face of ``im`` as ``<cache>/faces/<name>.png``.

        Never raises; the answer's ``code`` says what happened: 0 registered,
        1 no face, 2 several faces, 3 no picture, 4 could not store.
        """
        if not isinstance(im, np.ndarray) or im.ndim not in (2, 3) or im.size == 0:
            return {"code": 3, "msg": "no picture", "name": name}
        faces = self.find(im)
        if not faces:
            return {"code": 1, "msg": "no face found", "name": name}
        if len(faces) > 1:
            return {"code": 2, "msg": "%d faces found, expected one" % len(faces),
                    "name": name, "boxes": [face[:4] for face in faces]}
        x1, y1, x2, y2 = faces[0][:4]
        path = os.path.join(self.cache, "faces", _file_name(name) + ".png")
        try:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            ok, data = cv2.imencode(".png", im[y1:y2 + 1, x1:x2 + 1])
            if not ok:
                raise OSError("PNG encoding failed")
            # written beside it (readable by its owner only: a face is personal
            # data), then renamed: a failed store keeps the face registered
            # before under that name
            handle, part = tempfile.mkstemp(dir=os.path.dirname(path), suffix=".part")
            try:
                with os.fdopen(handle, "wb") as out:
                    out.write(data.tobytes())
                os.replace(part, path)
            finally:
                if os.path.exists(part):
                    os.unlink(part)
        except OSError as err:
            return {"code": 4, "msg": "cannot store face: %s" % err, "name": name,
                    "box": [x1, y1, x2, y2]}
        return {"code": 0, "msg": "registered", "name": name,
                "box": [x1, y1, x2, y2], "path": path}


class ObjectDetect:
    """Stand-in detector: ``main(im, cfg)`` answers which behaviours alarm.

    ``cuda`` only records the execution providers the device would use,
    ``activate=True`` pushes alarms at once (as if every ``alarm_time`` were
    0) and ``cache`` is where registered faces are stored.  Motion
    background, consecutive-hit counters and last alarm times live in the
    object and are guarded by a lock, so ``main`` may be called from any
    thread (one background per detector: feed it one stream).
    """

    MOTION_ALPHA = 0.5        # weight of the new frame in the background
    MOTION_DELTA = 25         # grey-level change that counts as moving
    MOTION_MIN_AREA = 0.0015  # smallest blob, as a fraction of the frame

    def __init__(self, *args, test=True, cuda=False, activate=False,
                 cache="/home/morel/.mx/"):
        self.args = args
        self.test = test
        self.cuda = cuda
        self.activate = activate
        self.cache = os.path.expanduser(os.fspath(cache))
        self.providers = (["CUDAExecutionProvider", "CPUExecutionProvider"]
                          if cuda else ["CPUExecutionProvider"])
        self.face_handle = FaceHandle(self.cache)
        self._lock = threading.Lock()
        self._background = None
        self._hits = {}
        self._last_alarm = {}

    def reset(self):
        """Forget the stream fed so far (motion background, consecutive hits,
        last alarm times): the next picture is as the first of a new one."""
        with self._lock:
            self._background = None
            self._hits = {}
            self._last_alarm = {}

    def main(self, im, cfg):
        """Run the behaviours selected in ``cfg["devBehavior"]`` on ``im``.

        Returns ``{"alarmBehavior": [...]}`` with one entry per behaviour
        that alarms on this call (an empty list when none does).
        """
        if im is None:
            raise ValueError("main() needs a picture, got None")
        if not isinstance(im, np.ndarray) or im.ndim not in (2, 3) or im.size == 0:
            raise ValueError("main() needs a picture as a non-empty numpy array, "
                             "got %s" % type(im).__name__)
        gray = to_gray(im)
        with self._lock:
            moving = self._motion(gray)
        alarms = []
        for number, row in self._rows(cfg):
            if number == MOTION:
                boxes = moving
            elif number == FACE:
                boxes = self.face_handle.find(gray)
            else:
                boxes = []
            threshold = _number(row.get("behavior_threshold"), 0.0, float)
            boxes = [box for box in boxes if box[4] >= threshold]
            if not self._alarm_due(number, row, bool(boxes)):
                continue
            alarms.append({
                "behavior_number": number,
                "alarm_info_dict": {"info_type": INFO_TYPES[number],
                                    "score": max(box[4] for box in boxes),
                                    "count": len(boxes)},
                "result": [{"roi": frame_roi(im), "boxes": boxes}],
            })
        return {"alarmBehavior": alarms}

    @staticmethod
    def _rows(cfg):
        """(number, row) for each selected behaviour, first row of a number wins."""
        rows = (cfg.get("devBehavior") if cfg else None) or []
        seen = set()
        for row in rows:
            number = _number(row.get("behavior_number") if hasattr(row, "get") else None,
                             None, int)
            if number is not None and number not in seen:
                seen.add(number)
                yield number, row

    def _motion(self, gray):
        """Moving blobs against the running background; call with the lock held."""
        frame = cv2.GaussianBlur(gray, (5, 5), 0)
        background = self._background
        if background is None or background.shape != frame.shape:
            self._background = frame.astype(np.float32)
            return []
        diff = cv2.absdiff(frame, cv2.convertScaleAbs(background))
        cv2.accumulateWeighted(frame, background, self.MOTION_ALPHA)
        mask = cv2.threshold(diff, self.MOTION_DELTA, 255, cv2.THRESH_BINARY)[1]
        mask = cv2.dilate(mask, None, iterations=2)
        contours = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2]
        min_area = max(16.0, self.MOTION_MIN_AREA * frame.size)
        boxes = []
        for contour in contours:
            area = cv2.contourArea(contour)
            if area >= min_area:
                x, y, w, h = cv2.boundingRect(contour)
                boxes.append([x, y, x + w - 1, y + h - 1,
                              round(area / (area + min_area), 4)])
        return sorted(boxes)

    def _alarm_due(self, number, row, hit):
        """Count consecutive hits and space alarms by ``alarm_time`` seconds."""
        need = max(1, _number(row.get("alarm_num"), 1, int))
        interval = 0 if self.activate else max(0, _number(row.get("alarm_time"), 0, float))
        with self._lock:
            if not hit:
                self._hits[number] = 0
                return False
            count = self._hits.get(number, 0) + 1
            self._hits[number] = count
            if count < need:
                return False
            now = time.monotonic()
            last = self._last_alarm.get(number)
            if last is not None and now - last < interval:
                return False
            self._hits[number] = 0
            self._last_alarm[number] = now
            return True
