'''systemd manager mock for the Tarvo service-manager tests

python-dbusmock's systemd template, extended with the manager calls the
systemd backend makes: ListUnits, ListUnitFiles, LoadUnit, Reload,
EnableUnitFiles and DisableUnitFiles, and units that carry the properties it
reads (Id, LoadState, Description, UnitFileState, FragmentPath, MainPID, User,
ExecStart). As systemd does, it keeps unit files it has not loaded apart from
loaded units (LoadUnit loads them from their file), lists aliases among the
unit files only (state "alias"; LoadUnit of an alias gives the unit it names),
and answers LoadUnit of a name without a unit with a unit whose load state is
"not-found".

Parameters (JSON): "unit_dir", the folder Reload reads unit files from;
"vendor_dir", where the files of units not loaded are written; and "units", a
list of {"id", "description", "active", "file_state"} to start with, each
optionally with "loaded": false (only its file exists) and "aliases": [ids].
'''

import os
import re

import dbus

from dbusmock import MOCK_IFACE, mockobject
from dbusmock.templates import systemd as base
from dbusmock.templates.systemd import GetUnit, StartUnit, StopUnit  # noqa: F401 (exported methods)

BUS_NAME = base.BUS_NAME
MAIN_OBJ = base.MAIN_OBJ
MAIN_IFACE = base.MAIN_IFACE
UNIT_IFACE = base.UNIT_IFACE
SERVICE_IFACE = 'org.freedesktop.systemd1.Service'
SYSTEM_BUS = True


def no_such_unit(name):
    return dbus.exceptions.DBusException(f'Unit {name} not found.',
                                         name='org.freedesktop.systemd1.NoSuchUnit')


def unit_path_of(unit_id):
    return f'{base.PATH_PREFIX}/unit/{base.escape_unit_name(unit_id)}'


def add_unit(mock, unit_id, description, active, file_state, fragment='', command=None,
             load_state='loaded'):
    path = unit_path_of(unit_id)
    mock.AddObject(path, UNIT_IFACE, {
        'Id': unit_id,
        'Names': [unit_id],
        'LoadState': load_state,
        'ActiveState': active,
        'SubState': 'running' if active == 'active' else 'dead',
        'Description': description,
        'UnitFileState': file_state,
        'FragmentPath': fragment,
    }, [])
    argv = command or ['/usr/bin/true']
    exec_start = dbus.Array([dbus.Struct((argv[0], dbus.Array(argv, signature='s'), False,
                                          dbus.UInt64(0), dbus.UInt64(0), dbus.UInt64(0),
                                          dbus.UInt64(0), dbus.UInt32(0), dbus.Int32(0),
                                          dbus.Int32(0)), signature=None)],
                            signature='(sasbttttuii)')
    mockobject.objects[path].AddProperties(SERVICE_IFACE, {
        'MainPID': dbus.UInt32(4242 if active == 'active' else 0),
        'User': '',
        'ExecStart': exec_start,
    })
    if load_state == 'loaded':
        mock.units[unit_id] = path
    else:
        mock.missing[unit_id] = path


def read_unit_file(path):
    '''The Description= and the ExecStart= words of a unit file.'''
    description, command = None, None
    with open(path, encoding='utf-8') as unit_file:
        for line in unit_file:
            if line.startswith('Description='):
                description = line[len('Description='):].strip()
            elif line.startswith('ExecStart='):
                command = line[len('ExecStart='):].split()
    return description, command


def load(mock, parameters):
    base.load(mock, parameters)
    mock.unit_dir = parameters.get('unit_dir', '')
    vendor_dir = parameters.get('vendor_dir', '')
    mock.missing = {}
    mock.files = {}  # units not loaded: id -> (path, state)
    mock.aliases = {}  # alias id -> (unit id, path of the alias)
    for unit in parameters.get('units', []):
        unit_id = unit['id']
        for alias in unit.get('aliases', []):
            mock.aliases[alias] = (unit_id, f'/etc/systemd/system/{alias}')
        if unit.get('loaded', True):
            add_unit(mock, unit_id, unit['description'], unit['active'], unit['file_state'])
            continue
        path = os.path.join(vendor_dir, unit_id)
        with open(path, 'w', encoding='utf-8') as unit_file:
            unit_file.write(f"[Unit]\nDescription={unit['description']}\n\n"
                            '[Service]\nExecStart=/usr/bin/true\n')
        mock.files[unit_id] = (path, unit['file_state'])


def unit_property(mock, unit_id, name):
    path = mock.units.get(unit_id) or mock.missing[unit_id]
    return mockobject.objects[path].Get(UNIT_IFACE, name)


def set_unit_property(mock, unit_id, name, value):
    mockobject.objects[mock.units[unit_id]].UpdateProperties(UNIT_IFACE, {name: value})


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='a(ssssssouso)')
def ListUnits(self):
    listed = {**self.units, **self.missing}
    return [(unit_id, unit_property(self, unit_id, 'Description'),
             unit_property(self, unit_id, 'LoadState'),
             unit_property(self, unit_id, 'ActiveState'), unit_property(self, unit_id, 'SubState'),
             '', path, dbus.UInt32(0), '', '/')
            for unit_id, path in listed.items()]


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='a(ss)')
def ListUnitFiles(self):
    loaded = [(unit_property(self, unit_id, 'FragmentPath') or f'/lib/systemd/system/{unit_id}',
               unit_property(self, unit_id, 'UnitFileState'))
              for unit_id in self.units]
    files = list(self.files.values())
    aliases = [(path, 'alias') for _unit, path in self.aliases.values()]
    return loaded + files + aliases


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def LoadUnit(self, name):
    name = str(name)
    if name in self.aliases:
        name = self.aliases[name][0]
    if name in self.units:
        return self.units[name]
    if name in self.files:
        path, state = self.files.pop(name)
        description, command = read_unit_file(path)
        add_unit(self, name, description or name, 'inactive', state, path, command)
        return self.units[name]
    if not re.fullmatch(r'[A-Za-z0-9:_.\\@-]+\.service', name):
        raise dbus.exceptions.DBusException(f'Unit name {name} is not valid.',
                                            name='org.freedesktop.DBus.Error.InvalidArgs')
    if name not in self.missing:
        add_unit(self, name, name, 'inactive', '', load_state='not-found')
    return self.missing[name]


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Reload(self):
    '''Units appear and go with the files in unit_dir, as a daemon reload does.'''
    files = set(os.listdir(self.unit_dir)) if self.unit_dir else set()
    for unit_id in list(self.units):
        fragment = str(unit_property(self, unit_id, 'FragmentPath'))
        if fragment.startswith(self.unit_dir + '/') and unit_id not in files:
            self.RemoveObject(self.units.pop(unit_id))
    for unit_id in list(self.missing):
        self.RemoveObject(self.missing.pop(unit_id))
    for unit_id in sorted(files - set(self.units)):
        path = os.path.join(self.unit_dir, unit_id)
        description, command = read_unit_file(path)
        add_unit(self, unit_id, description or unit_id, 'inactive', 'disabled', path, command)


@dbus.service.method(MAIN_IFACE, in_signature='asbb', out_signature='ba(sss)')
def EnableUnitFiles(self, files, _runtime, _force):
    for name in files:
        if str(name) not in self.units:
            raise no_such_unit(name)
        set_unit_property(self, str(name), 'UnitFileState', 'enabled')
    return (True, [('symlink', '/etc/systemd/system/multi-user.target.wants/' + str(name), '')
                   for name in files])


@dbus.service.method(MAIN_IFACE, in_signature='asb', out_signature='a(sss)')
def DisableUnitFiles(self, files, _runtime):
    for name in files:
        if str(name) in self.units:
            set_unit_property(self, str(name), 'UnitFileState', 'disabled')
    return []
