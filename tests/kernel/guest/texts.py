"""What the program's windows say, as the suite reads them over the accessibility bus or from
penshelf_pendrive's output: each text once, copied from the program's sources (session/Texts.h,
install/InstallTexts.h, catalogue/Catalogue.h, package/PackageKind.cpp and the .ui files), which
decide; kernel_texts_test checks that each is still there."""

# Windows and their controls (app/MainWindow.ui, install/InstWindow.ui).
TITLE = '点读笔管理'
INSTALL_TITLE = '安装点读包'
CHOOSE_PACKAGES = '请选择需要安装的点读包或故事包'  # the install's file chooser
INSTALL = '安装'  # the main window's 安装… by its accessible name, and the install dialog's button
REMOVE = '删除'  # the main window's button, and the confirmation's
APPLY = '应用贴号'
REFRESH = '刷新'
EJECT = '弹出'
CANCEL = '取消'
RESTORE = '从备份恢复'  # 从备份恢复… by its accessible name
COPY = '复制到另一支笔'  # 复制到另一支笔… by its accessible name, and the title of its pen chooser
CLOSE = '关闭'  # the transfer window's button once the work has ended (app/TransferWindow.ui)
SERIAL_CAPTION = '序列号：'
STICKER_CAPTION = '书名贴号：'
MESSAGE_DESCRIPTION = '提示信息'  # the message line's accessible description

# The main window's message line (session/Texts.h).
NO_PEN = '请连接点读系列产品！'
UNPLUGGED = '点读笔已拔出。'
EJECTED = '点读笔已弹出，可以安全拔下。'
EJECT_FAILED = '点读笔弹出失败，请关闭正在使用点读笔的程序后重试！'
FOLDER_LINK = '点读笔上的 USER/CUSTOM 是指向别处的链接，不能使用！'
EJECT_WAITING = '点读笔正在写入，写完后弹出……'
REMOVE_QUESTION = '是否删除此点读包？'

# Backup, restore and copy (session/Texts.h, session/Texts.cpp).
CHOOSE_BACKUP_FOLDER = '选择备份文件夹'
TRANSFER_COUNTS = '已复制 %1 个，跳过 %2 个，失败 %3 个。'

# The install dialog (install/InstallTexts.h).
INSTALLING = '正在安装点读包……'
INSTALL_FAILED = '点读包安装失败，请检查点读笔后重试！'
EXISTS = '此贴号点读包已存在！'
INSTALL_CANCELLED = '安装已取消，点读笔上没有留下不完整的点读包。'

# The package table (catalogue/Catalogue.h, package/PackageKind.cpp).
UNUSABLE_ENTRY = '（无法使用的条目）'
CUSTOM_KIND = '自制-'  # a .dar package's row: 自制-012


def fill(text, *values):
    """A text with its %1, %2... filled in, as QString::arg fills them."""
    for n, value in reversed(list(enumerate(values, start=1))):
        text = text.replace(f'%{n}', str(value))
    return text


def custom(number):
    """The table's sticker cell of the .dar package with that number: custom('001') is 自制-001."""
    return CUSTOM_KIND + number
