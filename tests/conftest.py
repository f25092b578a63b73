"""Fixtures and fakes shared by the test modules.

- `namespace`: the module namespace of nembra.result, restored afterwards.
- `FakeUploadClient`: stands in for the upload client API that DownloadResult._serialize()
  makes and uploads through; the `fake_api` fixture binds a recording one as API.
- `Recorder`: a callable that records its calls; the `recorder` fixture binds one as
  _serialize_params.
- `namespace_with_api(client)`: a `namespace` fixture for a test module whose every test
  uploads to `client`.

A test module that needs a client of another shape (a URL made from the content, a client
that records nothing) subclasses FakeUploadClient; it imports it with
`from conftest import FakeUploadClient`.
"""

from __future__ import annotations

import pytest

import nembra.result


@pytest.fixture
def namespace():
    """The namespace of nembra.result, put back as it was afterwards, binding order included.

    Deleting a name and binding it again would move it to the end of the namespace, so
    the namespace is restored whole rather than name by name.
    """
    names = vars(nembra.result)
    saved = list(names.items())
    yield names
    if list(names.items()) != saved:
        names.clear()
        names.update(saved)


# --- the upload client -----------------------------------------------------------------


class Upload:
    """One call of _upload_temporary_file: the file object and name it was given, where the
    stream stood, and the data read from there. The stream is put back where it stood."""

    def __init__(self, file_object, file_name) -> None:
        self.file_object = file_object
        self.file_name = file_name
        self.position = file_object.tell() if hasattr(file_object, "tell") else None
        self.data = file_object.read() if hasattr(file_object, "read") else None
        if self.position is not None:
            file_object.seek(self.position)


class FakeUploadClient:
    """Stands in for the upload client: DownloadResult._serialize() makes one with API() and
    calls client._upload_temporary_file(file_object, file_name), which returns the URL.

    Each upload reads the data handed over (see Upload), then raises `error` if it is set
    (an exception instance, raised as it is, or a class, which makes a new one per upload),
    else returns url(upload). Unless `record` is false, the class keeps what happened in
    lists of its own: `events` ("API()" per client made, "upload" per upload), `uploads`
    (the Upload records, failed uploads included) and `urls` (the URLs returned). Every
    subclass gets new empty lists, so a class made per test starts with nothing recorded.
    """

    record = True
    error: BaseException | type[BaseException] | None = None
    events: list[str] = []
    uploads: list[Upload] = []
    urls: list = []

    def __init_subclass__(cls, **kwargs) -> None:
        super().__init_subclass__(**kwargs)
        cls.events, cls.uploads, cls.urls = [], [], []

    def __init__(self, *args, **kwargs) -> None:
        assert (args, kwargs) == ((), {})
        self.keep(self.events, "API()")

    def _upload_temporary_file(self, *args, **kwargs):
        assert kwargs == {}
        file_object, file_name = args
        upload = Upload(file_object, file_name)
        self.keep(self.events, "upload")
        self.keep(self.uploads, upload)
        if self.error is not None:
            raise self.error
        url = self.url(upload)
        self.keep(self.urls, url)
        return url

    def url(self, upload: Upload):
        """A new URL per upload, numbered by the URLs recorded before it."""
        return f"file:///uploads/{len(self.urls)}/{upload.file_name}"

    def keep(self, log: list, item) -> None:
        if self.record:
            log.append(item)


@pytest.fixture
def fake_api(namespace) -> type[FakeUploadClient]:
    """A recording FakeUploadClient of this test's own, bound as API in the module namespace."""
    api = type("RecordingAPI", (FakeUploadClient,), {})
    namespace["API"] = api
    return api


def namespace_with_api(client):
    """A `namespace` fixture for a test module: the module namespace, restored afterwards,
    with `client` bound as API."""

    @pytest.fixture(name="namespace")
    def namespace_with_client(namespace):
        namespace["API"] = client
        return namespace

    return namespace_with_client


# --- the recorder ----------------------------------------------------------------------


class Recorder:
    """A stand-in callable (for _serialize_params, or a hook of a fake): records the
    arguments of each call in `calls` as (args, kwargs); then raises `error` if it was
    given one, else returns a new object, kept in `returned`."""

    def __init__(self, error: BaseException | None = None) -> None:
        self.error = error
        self.calls: list[tuple[tuple, dict]] = []
        self.returned: list = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        value = object()
        self.returned.append(value)
        return value

    @property
    def args(self) -> list[tuple]:
        """The positional arguments of each call."""
        return [args for args, _ in self.calls]


@pytest.fixture
def recorder(namespace) -> Recorder:
    """A Recorder bound as _serialize_params in the module namespace."""
    rec = Recorder()
    namespace["_serialize_params"] = rec
    return rec
