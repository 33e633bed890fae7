'''systemd manager mock for the Tarvo service-manager tests

python-dbusmock's systemd template, extended with the manager calls the
systemd backend makes: ListUnits, ListUnitFiles, LoadUnit, Reload,
EnableUnitFiles and DisableUnitFiles, and units that carry the properties it
reads (Description, UnitFileState, FragmentPath, MainPID, User, ExecStart).

Parameters (JSON): "unit_dir", the folder Reload reads unit files from, and
"units", a list of {"id", "description", "active", "file_state"} to start with.
'''

import os

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


def add_unit(mock, unit_id, description, active, file_state, fragment='', command=None):
    path = f'{base.PATH_PREFIX}/unit/{base.escape_unit_name(unit_id)}'
    mock.units[unit_id] = path
    mock.AddObject(path, UNIT_IFACE, {
        'Id': unit_id,
        'Names': [unit_id],
        'LoadState': 'loaded',
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


def load(mock, parameters):
    base.load(mock, parameters)
    mock.unit_dir = parameters.get('unit_dir', '')
    for unit in parameters.get('units', []):
        add_unit(mock, unit['id'], unit['description'], unit['active'], unit['file_state'])


def unit_property(mock, unit_id, name):
    return mockobject.objects[mock.units[unit_id]].Get(UNIT_IFACE, name)


def set_unit_property(mock, unit_id, name, value):
    mockobject.objects[mock.units[unit_id]].UpdateProperties(UNIT_IFACE, {name: value})


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='a(ssssssouso)')
def ListUnits(self):
    return [(unit_id, unit_property(self, unit_id, 'Description'), 'loaded',
             unit_property(self, unit_id, 'ActiveState'), unit_property(self, unit_id, 'SubState'),
             '', path, dbus.UInt32(0), '', '/')
            for unit_id, path in self.units.items()]


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='a(ss)')
def ListUnitFiles(self):
    return [(unit_property(self, unit_id, 'FragmentPath') or f'/lib/systemd/system/{unit_id}',
             unit_property(self, unit_id, 'UnitFileState'))
            for unit_id in self.units]


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def LoadUnit(self, name):
    if str(name) not in self.units:
        raise no_such_unit(name)
    return self.units[str(name)]


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Reload(self):
    '''Units appear and go with the files in unit_dir, as a daemon reload does.'''
    files = set(os.listdir(self.unit_dir)) if self.unit_dir else set()
    for unit_id in list(self.units):
        fragment = str(unit_property(self, unit_id, 'FragmentPath'))
        if fragment.startswith(self.unit_dir + '/') and unit_id not in files:
            self.RemoveObject(self.units.pop(unit_id))
    for unit_id in sorted(files - set(self.units)):
        path = os.path.join(self.unit_dir, unit_id)
        description, command = unit_id, None
        with open(path, encoding='utf-8') as unit_file:
            for line in unit_file:
                if line.startswith('Description='):
                    description = line[len('Description='):].strip()
                elif line.startswith('ExecStart='):
                    command = line[len('ExecStart='):].split()
        add_unit(self, unit_id, description, 'inactive', 'disabled', path, command)


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
