#include "devserver/demo_tree.hpp"

#include <string>
#include <vector>

#include "devserver/content_type.hpp"
#include "devserver/document_text.hpp"
#include "devserver/pdf_text.hpp"

namespace folium::devserver {

namespace {

class Seeder {
 public:
  explicit Seeder(Store& store) : store_(store) {}

  EntityId workspace(const std::string& label, const std::string& description) {
    return store_.createWorkspace(label, description).id;
  }

  EntityId folder(EntityId workspace, std::optional<EntityId> parent, const std::string& name) {
    return store_.createFolder(workspace, parent, name).id;
  }

  void document(EntityId workspace, std::optional<EntityId> folder, const std::string& name,
                const std::string& contents) {
    TempFile file(store_.tempDir());
    file.write(contents);
    std::string type = contentTypeForName(name);
    std::string text = indexableText(file.path(), type, name);
    store_.createDocument(workspace, folder, name, IncomingContent{std::move(file), type, text});
  }

  void pdf(EntityId workspace, std::optional<EntityId> folder, const std::string& name,
           const std::string& title, const std::vector<std::string>& lines) {
    document(workspace, folder, name, makeTextPdf(title, lines));
  }

 private:
  Store& store_;
};

void seedDirection(Seeder& s) {
  EntityId ws = s.workspace("Direction", "Pilotage, comités et rapports de la direction générale");
  EntityId comites = s.folder(ws, std::nullopt, "Comités");
  s.document(ws, comites, "Compte rendu réunion.md",
             "# Compte rendu de la réunion du comité de direction\n\n"
             "*Date : 12 janvier 2026 — Lieu : salle Pasteur*\n\n"
             "## Participants\n\n"
             "- Hélène Marchand, directrice générale\n"
             "- Benoît Lefèvre, directeur financier\n"
             "- Agnès Rousseau, responsable des ressources humaines\n\n"
             "## Points abordés\n\n"
             "1. Bilan du quatrième trimestre : le chiffre d'affaires progresse de 8 %.\n"
             "2. Budget prévisionnel : validation de l'enveloppe consacrée à la formation.\n"
             "3. Déménagement du site de Lyon : l'échéancier est confirmé pour septembre.\n\n"
             "## Décisions\n\n"
             "- Le rapport annuel sera présenté au conseil d'administration le 3 mars.\n"
             "- Une réunion de suivi est fixée au 9 février.\n");
  EntityId annee = s.folder(ws, comites, "2026");
  s.document(ws, annee, "Ordre du jour février.txt",
             "Comité de direction — 9 février 2026\n\n"
             "1. Approbation du compte rendu du 12 janvier\n"
             "2. Point sur le déménagement du site de Lyon\n"
             "3. Recrutements du premier semestre\n"
             "4. Questions diverses\n");
  s.document(ws, annee, "Comité de direction — janvier.md",
             "# Comité de direction — janvier\n\n"
             "Synthèse des échanges : priorité donnée à la qualité de service et à la "
             "réduction des délais de traitement des dossiers.\n");
  s.pdf(ws, std::nullopt, "Rapport annuel 2025.pdf", "Rapport annuel 2025",
        {"Synthèse de l'exercice 2025", "",
         "L'année 2025 a été marquée par une croissance soutenue de notre activité.",
         "Le chiffre d'affaires atteint 12,4 millions d'euros, en hausse de 8 %.",
         "Les effectifs sont passés de 84 à 97 collaborateurs.", "",
         "Perspectives 2026 : consolidation des équipes, ouverture d'une agence à Nantes",
         "et modernisation de nos outils de gestion documentaire."});
  s.document(ws, std::nullopt, "Feuille de route.md",
             "# Feuille de route 2026\n\n"
             "| Trimestre | Objectif |\n"
             "|---|---|\n"
             "| T1 | Refonte du site institutionnel |\n"
             "| T2 | Migration des données clients |\n"
             "| T3 | Déménagement du site de Lyon |\n"
             "| T4 | Bilan et préparation de l'exercice suivant |\n");
}

void seedProjets(Seeder& s) {
  EntityId ws = s.workspace("Projets", "Suivi des projets en cours");
  EntityId site = s.folder(ws, std::nullopt, "Refonte du site");
  s.document(ws, site, "Cahier des charges.md",
             "# Cahier des charges — refonte du site\n\n"
             "## Contexte\n\n"
             "Le site actuel date de 2019 ; il n'est ni accessible ni adapté aux mobiles.\n\n"
             "## Exigences\n\n"
             "- Conformité au référentiel d'accessibilité (niveau AA)\n"
             "- Temps de chargement inférieur à deux secondes\n"
             "- Espace de téléchargement des documents publics\n");
  s.document(ws, site, "Planning.txt",
             "Planning prévisionnel\n\n"
             "Semaine 6 : ateliers avec les équipes métier\n"
             "Semaine 9 : maquettes validées\n"
             "Semaine 14 : mise en production\n");
  EntityId maquettes = s.folder(ws, site, "Maquettes");
  s.document(ws, maquettes, "Notes de conception.md",
             "# Notes de conception\n\n"
             "Palette de couleurs : bleu ardoise et vert tilleul.\n"
             "Typographie : une police lisible, corps de 18 pixels minimum.\n");
  EntityId migration = s.folder(ws, std::nullopt, "Migration des données");
  s.document(ws, migration, "Procédure de bascule.md",
             "# Procédure de bascule\n\n"
             "1. Geler les saisies la veille à 18 h.\n"
             "2. Exporter la base et vérifier les sommes de contrôle.\n"
             "3. Importer dans le nouvel environnement.\n"
             "4. Recette fonctionnelle avec les référents de chaque service.\n");
  s.pdf(ws, migration, "Présentation.pdf", "Migration des données clients",
        {"Objectif : regrouper les fichiers clients dans une base unique.",
         "Périmètre : 42 000 fiches, dont 3 500 à dédoublonner.",
         "Calendrier : bascule prévue le week-end du 16 mai."});
  s.document(ws, std::nullopt, "Liste des projets.txt",
             "Projets actifs\n\n"
             "- Refonte du site (cheffe de projet : Camille Girard)\n"
             "- Migration des données (chef de projet : Mathieu Dubois)\n");
}

void seedRessourcesHumaines(Seeder& s) {
  EntityId ws = s.workspace("Ressources humaines", "Recrutement, formation et vie au travail");
  EntityId recrutement = s.folder(ws, std::nullopt, "Recrutement");
  s.document(ws, recrutement, "Fiche de poste — développeur·se.md",
             "# Fiche de poste : développeur·se C++\n\n"
             "Vous rejoindrez l'équipe chargée de nos outils de synchronisation de documents.\n\n"
             "## Compétences attendues\n\n"
             "- C++ moderne, tests automatisés\n"
             "- Goût pour la qualité et le travail en équipe\n");
  s.document(ws, recrutement, "Grille d'entretien.txt",
             "Grille d'entretien\n\n"
             "Motivation : /5\n"
             "Compétences techniques : /5\n"
             "Aisance relationnelle : /5\n");
  EntityId formations = s.folder(ws, std::nullopt, "Formations");
  s.pdf(ws, formations, "Catalogue 2026.pdf", "Catalogue des formations 2026",
        {"Sécurité informatique au quotidien — 1 jour", "Conduite de réunion efficace — 2 jours",
         "Prise de parole en public — 2 jours", "Bureautique avancée — 3 jours"});
  s.document(ws, std::nullopt, "Livret d'accueil.md",
             "# Bienvenue !\n\n"
             "Ce livret d'accueil rassemble les informations utiles pour vos premiers jours : "
             "horaires, restauration, badge d'accès et interlocuteurs.\n");
  s.document(ws, std::nullopt, "Congés et absences.txt",
             "Congés et absences\n\n"
             "Les demandes de congés se font au moins deux semaines à l'avance.\n"
             "En cas d'absence imprévue, prévenez votre responsable avant 10 h.\n");
}

}  // namespace

void seedDemoTree(Store& store) {
  Seeder seeder(store);
  seedDirection(seeder);
  seedProjets(seeder);
  seedRessourcesHumaines(seeder);
}

}  // namespace folium::devserver
