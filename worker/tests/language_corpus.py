"""Spoken sentences in the eight languages of the program, for the language tests, the language
benchmark and the two-language demo.

Plain everyday sentences without digits or names, so that a reference needs no spelling rules;
sentence i says the same in every language, and each espeak-ng voice speaks its own language.
The pairs are the ones the tests and the benchmark run: each alternates sentences of its two
languages on one channel.
"""
CODES = ("ru", "en", "de", "fr", "es", "uk", "pl", "it")

# espeak-ng voice for each code.
VOICES = {"ru": "ru", "en": "en", "de": "de", "fr": "fr", "es": "es", "uk": "uk", "pl": "pl",
          "it": "it"}

SENTENCES = {
    "en": [
        "We will meet again after lunch to finish the plan.",
        "The new numbers look much better than last month.",
        "Could you please send me the documents tomorrow morning?",
        "I think we should talk to the customer first.",
        "The weather was cold and rainy all week.",
        "Our team needs two more days for the tests.",
    ],
    "de": [
        "Wir treffen uns nach dem Mittagessen wieder, um den Plan fertigzustellen.",
        "Die neuen Zahlen sehen deutlich besser aus als im letzten Monat.",
        "Kannst du mir bitte morgen früh die Unterlagen schicken?",
        "Ich glaube, wir sollten zuerst mit dem Kunden sprechen.",
        "Das Wetter war die ganze Woche kalt und regnerisch.",
        "Unser Team braucht noch zwei Tage für die Tests.",
    ],
    "ru": [
        "Мы встретимся снова после обеда, чтобы закончить план.",
        "Новые цифры выглядят намного лучше, чем в прошлом месяце.",
        "Пожалуйста, пришлите мне документы завтра утром.",
        "Я думаю, что сначала нужно поговорить с клиентом.",
        "Всю неделю погода была холодной и дождливой.",
        "Нашей команде нужно ещё два дня для проверки.",
    ],
    "uk": [
        "Ми зустрінемося знову після обіду, щоб закінчити план.",
        "Нові цифри виглядають набагато краще, ніж минулого місяця.",
        "Будь ласка, надішліть мені документи завтра вранці.",
        "Я думаю, що спочатку треба поговорити з клієнтом.",
        "Увесь тиждень погода була холодною та дощовою.",
        "Нашій команді потрібно ще два дні для перевірки.",
    ],
    "fr": [
        "Nous nous reverrons après le déjeuner pour finir le plan.",
        "Les nouveaux chiffres sont bien meilleurs que le mois dernier.",
        "Pouvez-vous m'envoyer les documents demain matin, s'il vous plaît?",
        "Je pense que nous devrions d'abord parler au client.",
        "Il a fait froid et pluvieux toute la semaine.",
        "Notre équipe a besoin de deux jours de plus pour les essais.",
    ],
    "es": [
        "Nos veremos de nuevo después del almuerzo para terminar el plan.",
        "Los nuevos números son mucho mejores que el mes pasado.",
        "¿Puedes enviarme los documentos mañana por la mañana, por favor?",
        "Creo que primero deberíamos hablar con el cliente.",
        "El tiempo fue frío y lluvioso toda la semana.",
        "Nuestro equipo necesita dos días más para las pruebas.",
    ],
    "pl": [
        "Spotkamy się znowu po obiedzie, żeby skończyć plan.",
        "Nowe liczby wyglądają dużo lepiej niż w zeszłym miesiącu.",
        "Czy możesz mi jutro rano przesłać dokumenty?",
        "Myślę, że najpierw powinniśmy porozmawiać z klientem.",
        "Przez cały tydzień było zimno i deszczowo.",
        "Nasz zespół potrzebuje jeszcze dwóch dni na testy.",
    ],
    "it": [
        "Ci rivedremo dopo pranzo per finire il piano.",
        "I nuovi numeri sono molto migliori del mese scorso.",
        "Puoi mandarmi i documenti domani mattina, per favore?",
        "Penso che prima dovremmo parlare con il cliente.",
        "Il tempo è stato freddo e piovoso per tutta la settimana.",
        "La nostra squadra ha bisogno di altri due giorni per le prove.",
    ],
}

# (speech language, translation language) as set in the window; the first is the user's own.
PAIRS = (("en", "de"), ("en", "ru"), ("ru", "uk"), ("fr", "es"), ("pl", "it"))


def alternating(first, second, count=None):
    """[(code, sentence)] taking turns between the two languages, starting with first."""
    a, b = SENTENCES[first], SENTENCES[second]
    n = min(len(a), len(b)) if count is None else count
    out = []
    for i in range(n):
        out.append((first, a[i % len(a)]))
        out.append((second, b[i % len(b)]))
    return out
