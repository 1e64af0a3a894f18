"""progress=True where the caller sits: in Jupyter one live bar per pass (tqdm's notebook bar when
tqdm and ipywidgets 7 or later are installed, a text bar redrawn in place otherwise), in a terminal
tqdm's bar redrawn in place when tqdm is installed; elsewhere (a log, a pipe, a terminal without
tqdm) the program's own bars on sys.stderr."""

import os
import sys


def _in_notebook():
    ipython = sys.modules.get('IPython')
    if ipython is None:
        return False
    shell = ipython.get_ipython()
    return shell is not None and type(shell).__name__ == 'ZMQInteractiveShell'


def _widgets_usable():
    """ipywidgets whose messages Jupyter's front ends and nbconvert understand: version 7 on.
    Version 6's widgets stop an nbconvert run of the notebook (its executor finds no state)."""
    try:
        import ipywidgets
    except ImportError:
        return False
    return int(ipywidgets.__version__.split('.')[0]) >= 7


def _bar_class():
    """tqdm's class for where the caller sits, None for the program's own bars, or 'text' for
    a notebook's text bars."""
    if _in_notebook():
        if _widgets_usable():
            try:
                from tqdm.notebook import tqdm
                return tqdm
            except ImportError:
                pass
        return 'text'
    isatty = getattr(sys.stderr, 'isatty', None)
    if isatty is not None and isatty():
        try:
            from tqdm import tqdm
            return tqdm
        except ImportError:
            return None
    return None


class _Bars:
    """One tqdm bar per pass (label), advanced to each step the call reports. A terminal's bars
    are drawn on a copy of its descriptor taken before the call: during the call, descriptor 2
    leads into the pipe that carries the program's own lines."""

    def __init__(self, bar_class):
        self._bar_class = bar_class
        self._bars = {}
        self._file = None
        if not _in_notebook():
            sys.stderr.flush()
            self._file = open(os.dup(sys.stderr.fileno()), 'w', encoding='utf-8', closefd=True)

    def __call__(self, label, done, total):
        bar = self._bars.get(label)
        if bar is None or bar.total != total or done < bar.n:
            if bar is not None:
                bar.close()
            bar = self._bar_class(total=total, desc=label, file=self._file or sys.stderr,
                                  leave=True)
            self._bars[label] = bar
        bar.update(done - bar.n)
        if done >= total:
            bar.close()

    def close(self):
        for bar in self._bars.values():
            bar.close()
        if self._file is not None:
            self._file.close()


class _TextBars:
    """A notebook without usable widgets: one text output per pass, redrawn in place (IPython's
    display handles) at each whole percent."""

    WIDTH = 30

    def __init__(self):
        self._shown = {}

    def __call__(self, label, done, total):
        from IPython.display import display
        percent = 100 if total == 0 else done * 100 // total
        handle, last = self._shown.get(label, (None, None))
        if last == (percent, total):
            return
        filled = self.WIDTH * percent // 100
        text = f'{label}: {percent:3d}%|{"#" * filled}{" " * (self.WIDTH - filled)}| {done}/{total}'
        if handle is None:
            handle = display({'text/plain': text}, raw=True, display_id=True)
        else:
            handle.update({'text/plain': text}, raw=True)
        self._shown[label] = (handle, (percent, total))

    def close(self):
        pass


def progress_for(progress):
    """What the compiled call takes for `progress`, and what to close once it returns."""
    if progress is not True:
        return progress, None
    bar_class = _bar_class()
    if bar_class is None:
        return True, None
    shown = _TextBars() if bar_class == 'text' else _Bars(bar_class)
    return shown, shown
